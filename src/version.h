// The plugin's version, which the --version flag and the info document
// report. The build passes it in (VISTREL_VERSION, from debian/changelog,
// where a release names it); a header of its own so that the front and the
// JSON writer can both include it.
#pragma once

constexpr const char *PLUGIN_VERSION = VISTREL_VERSION;
