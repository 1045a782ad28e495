// The files of lumhost's web page (host/views/web/page/), built into the
// program by host/embed_texts.cmake. desk.html holds the placeholders {{TITLE}},
// {{PROFILE}} and {{DESK}}.
#ifndef LUMSDK_HOST_VIEWS_WEB_WEB_PAGE_H_
#define LUMSDK_HOST_VIEWS_WEB_WEB_PAGE_H_

namespace lumhost {

extern const char kDeskHtml[];
extern const char kDeskCss[];
extern const char kDeskJs[];

}  // namespace lumhost

#endif  // LUMSDK_HOST_VIEWS_WEB_WEB_PAGE_H_
