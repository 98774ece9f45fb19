// The HTTP server's decisions on received bytes: any input, under roots of
// every length, must give a decision without reading or writing out of
// bounds, with a page and a file name that are terminated within their
// areas, a history topic decoded within its area, and never a file name
// with a ".." segment after the root. The input is also made the cause of
// an error page.
#include <cstdint>
#include <cstring>
#include <string>

#include "http/request.h"

static void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

static bool has_dot_dot(const char* path)
{
    size_t len = std::strlen(path);
    return std::strstr(path, "/../") || (len >= 3 && std::strcmp(path + len - 3, "/..") == 0);
}

static void check_decision(const http_request& req, const char* root)
{
    // Only the hub's settings path itself is answered from the configuration.
    check(!req.hub_info ||
          (req.action == HTTP_ACTION_STATIC && std::strcmp(req.filename + std::strlen(root), HTTP_HUB_INFO_PATH) == 0));
    switch (req.action) {
    case HTTP_ACTION_PAGE:
        check(req.page_len > 0 && req.page_len < HTTP_PAGE_SIZE && std::strlen(req.page) == req.page_len);
        break;
    case HTTP_ACTION_STATIC:
    case HTTP_ACTION_CGI:
        check(std::strlen(req.filename) < HTTP_BUF_SIZE && std::strlen(req.cgiargs) < HTTP_BUF_SIZE &&
              std::strlen(req.path) < HTTP_BUF_SIZE);
        check(std::strncmp(req.filename, root, std::strlen(root)) == 0);
        check(!has_dot_dot(req.filename + std::strlen(root)));
        check((req.action == HTTP_ACTION_STATIC) == (req.filetype != nullptr));
        break;
    case HTTP_ACTION_HISTORY:
        // A decoded name: not empty, within its area, no NUL and no wildcard.
        check(req.topic_len > 0 && req.topic_len < HTTP_BUF_SIZE && req.since_s >= 0);
        check(!std::memchr(req.topic, 0, req.topic_len) && !std::memchr(req.topic, '#', req.topic_len));
        break;
    default:
        break;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static http_request req;
    static const std::string long_root(HTTP_BUF_SIZE - 4, 'r');
    const char* roots[] = {"", "/home/pi/www", long_root.c_str()};
    uint32_t len = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    for (const char* root : roots) {
        http_request_parse(data, len, root, &req);
        check_decision(req, root);
    }
    std::string cause = size ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
    http_error_page(&req, HTTP_ERROR_NOT_IMPLEMENTED, cause.c_str());
    check_decision(req, "");
    return 0;
}
