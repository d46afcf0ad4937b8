// The dashboard page. Its HTML, CSS and JS live as real files in web/ and are
// embedded at build time (build/gen/web_assets.h); this unit writes them in
// document order. The page carries no value from the request or the machine:
// everything live is fetched and drawn by the page's own script.
#include "page.h"

#include <stdio.h>

#include "response_headers.h"
#include "web_assets.h"

// Writes a text whose length the compiler knows, without looking for its end.
template <int N> static void out(const char (&text)[N]) { fwrite(text, 1, N - 1, stdout); }

void mode_html(bool embedded) {
    out(HTML_HEADER_BLOCK);
    out(WEB_HEAD_HTML); // doctype, head start, title
    out("<script>");
    out(WEB_THEME_BOOT_JS);
    out("</script>\n<style>");
    out(WEB_BASE_CSS);
    out(WEB_DASHBOARD_CSS);
    out("</style></head><script>");
    out(WEB_THEME_LISTEN_JS);
    out("</script>\n<body><div class='wrap'>");
    out(WEB_BODY_HTML); // top bar and the four cards
    if (!embedded)
        out(WEB_NOTE_HTML);
    out("<script>\n(function(){\n");
    out(WEB_APP_JS);
    out("\n})();\n</script></div></body></html>\n");
}
