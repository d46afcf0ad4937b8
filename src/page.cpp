// The dashboard page. Its HTML, CSS and JS live as real files in web/ and are
// embedded at build time (build/gen/web_assets.h); this unit is the one list
// of the page's pieces, which it writes in document order. The page carries no value from the request or the machine:
// everything live is fetched and drawn by the page's own script.
#include "page.h"

#include "output.h"
#include "response_headers.h"
#include "web_assets.h"

void mode_html(bool embedded) {
    out_lit(HTML_HEADER_BLOCK);
    out_lit(WEB_HEAD_HTML); // doctype, head start, title
    out_lit("<script>");
    out_lit(WEB_THEME_BOOT_JS);
    out_lit("</script>\n<style>");
    out_lit(WEB_BASE_CSS);
    out_lit(WEB_DASHBOARD_CSS);
    out_lit("</style></head><script>");
    out_lit(WEB_THEME_LISTEN_JS);
    out_lit("</script>\n<body><div class='wrap'>");
    out_lit(WEB_BODY_HTML); // top bar and the four cards
    if (!embedded)
        out_lit(WEB_NOTE_HTML);
    out_lit("<script>\n(function(){\n");
    out_lit(WEB_APP_JS);
    out_lit("\n})();\n</script></div></body></html>\n");
}
