// SPDX-License-Identifier: GPL-3.0-or-later
// The page's files (web/page/), compiled into the program at build time by
// embed_page.cmake, which writes page_assets.cpp.
#ifndef VRELAY_WEB_PAGE_ASSETS_H
#define VRELAY_WEB_PAGE_ASSETS_H

#include <cstddef>
#include <string>

namespace vrelay {
namespace web {

struct PageAsset {
    const char* path;          // "/index.html", "/app.js", ...
    const char* contentType;   // with its charset
    const unsigned char* data;
    size_t size;
};

// The file served at path ("/" is "/index.html"), or null.
const PageAsset* FindPageAsset(const std::string& path);

}  // namespace web
}  // namespace vrelay

#endif
