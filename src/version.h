// The plugin's version, which the --version flag and the info document
// report. A header of its own so that the front and the JSON writer can
// both include it.
#pragma once

constexpr const char *PLUGIN_VERSION = "1.0.3";
