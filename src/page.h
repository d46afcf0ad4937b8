// The dashboard page: fixed text embedded at build time from web/.
#pragma once

// Writes the HTML header block and the page; the direct-open note only when
// the request is not embedded in the hub.
void mode_html(bool embedded);
