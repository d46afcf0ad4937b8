// The program's entry. Everything it does is in plugin_main, so the tests can
// link every other object and call the real code.
#include "plugin_vistrel.h"

int main(int argc, char **argv) { return plugin_main(argc, argv); }
