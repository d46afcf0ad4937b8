// The dashboard page. Its HTML, CSS and JS live as real files in web/ and are
// embedded at build time (build/gen/web_assets.h); this unit writes them in
// document order. The page carries no value from the request or the machine:
// everything live is fetched and drawn by the page's own script.
#include "page.h"

#include <cstdio>
#include <string_view>

#include "web_assets.h"

static constexpr std::string_view HTML_HEADER = "Content-Type: text/html; charset=utf-8\r\n"
                                                "Cache-Control: no-store\r\n"
                                                "X-Content-Type-Options: nosniff\r\n"
                                                "\r\n";
static_assert(HTML_HEADER.size() == 100, "the HTML header block is 100 bytes");

static void out(std::string_view s) { std::fwrite(s.data(), 1, s.size(), stdout); }

void mode_html(bool embedded) {
    out(HTML_HEADER);
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
