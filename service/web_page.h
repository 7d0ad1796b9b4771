// The page at /: the towers drawn as the window draws them, kept live by the
// event stream, with controls to set each segment. Everything it needs is
// served from the program; it loads nothing from elsewhere.
#pragma once

namespace kv::service {

extern const char* const kPageHtml;
extern const char* const kPageScript;
extern const char* const kPageStyle;

}  // namespace kv::service
