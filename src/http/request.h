// What the HTTP file server does with a request, decided from its bytes
// alone: the request line, the file it names, that file's content type and
// the error pages. No socket and no file system are touched here, so the
// fuzz target can feed it anything; the HTTP thread acts on the result.
#pragma once

#include <cstdint>

// Request bytes one connection may hold, and the size of each work area
// (file name, CGI arguments).
constexpr uint32_t HTTP_BUF_SIZE = 1024;
// An error page, cause included, is built in an area of this size; a
// cause too long for it is cut.
constexpr uint32_t HTTP_PAGE_SIZE = 1024;

enum http_action : uint32_t {
    HTTP_ACTION_WAIT,   // no line end yet: wait for more bytes
    HTTP_ACTION_DROP,   // close without a reply
    HTTP_ACTION_PAGE,   // send `page`, then close
    HTTP_ACTION_STATIC, // send the file `filename` as `filetype`
    HTTP_ACTION_CGI,    // CGI path `filename` with query `cgiargs`
    HTTP_ACTION_HISTORY, // the history of `topic` since `since_s` as JSON
};

// The dashboard's history of a topic: GET HTTP_HISTORY_PATH?topic=<percent-
// encoded name>&since=<unix seconds>; `since` may be left out (all of it).
constexpr char HTTP_HISTORY_PATH[] = "/api/history";

// The dashboard asks here where its hub's WebSocket port is. A file of
// this name in the served directory is sent like any other; without one
// the server answers from the running configuration (http_hub_info_format).
constexpr char HTTP_HUB_INFO_PATH[] = "/halyx.json";

struct http_request {
    http_action action;
    bool hub_info; // a static request for HTTP_HUB_INFO_PATH
    // The request's URI path, query cut off: what an error page about the
    // file names, so that no page shows where the directory lies.
    char path[HTTP_BUF_SIZE];
    char filename[HTTP_BUF_SIZE];
    const char* filetype; // a static text
    char cgiargs[HTTP_BUF_SIZE];
    char page[HTTP_PAGE_SIZE];
    uint32_t page_len;
    // HTTP_ACTION_HISTORY: the decoded topic name (not terminated) and
    // the start of the time range.
    uint8_t topic[HTTP_BUF_SIZE];
    uint16_t topic_len;
    int64_t since_s;
};

// Decides on the `len` bytes received so far (not terminated; only the
// first HTTP_BUF_SIZE are looked at). `root` is the served directory,
// prefixed to the URI. The file's existence and mode are the caller's to
// check.
void http_request_parse(const uint8_t* bytes, uint32_t len, const char* root, http_request* req);

enum http_error : uint32_t {
    HTTP_ERROR_NOT_IMPLEMENTED, // 501, a method other than GET
    HTTP_ERROR_NOT_FOUND,       // 404
    HTTP_ERROR_FORBIDDEN,       // 403
    HTTP_ERROR_BAD_REQUEST,     // 400, a history query without a usable topic or time
    HTTP_ERROR_UNAVAILABLE,     // 503, the history cannot be read now (or is off)
};

// Builds the error page for `cause` into `page` and sets HTTP_ACTION_PAGE.
// The cause is HTML-escaped and cut where the page would not fit.
void http_error_page(http_request* req, http_error error, const char* cause);

// The success header of a static file, into `out` (at least 256 bytes).
// Returns its length.
[[nodiscard]] uint32_t http_header_format(char* out, uint32_t size, long long file_size, const char* filetype);

// Whether `real`, a file's path with every link resolved, is the directory
// `real_root` (resolved too) or lies below it. A link in the served
// directory that leads out of it is refused with HTTP_ERROR_FORBIDDEN.
bool http_path_inside(const char* real_root, const char* real);

// The whole answer to HTTP_HUB_INFO_PATH when no such file is served:
// header and JSON body {"mqtt_ws_port": N, "mqtt_ws_tls_port": M}, into
// `out`. Returns its length (0 if it did not fit).
[[nodiscard]] uint32_t http_hub_info_format(char* out, uint32_t size, int32_t mqtt_ws_port, int32_t mqtt_ws_tls_port);

// The success header of a JSON body of `body_len` bytes, into `out`.
[[nodiscard]] uint32_t http_json_header_format(char* out, uint32_t size, long long body_len);

// Decodes a history query ("topic=...&since=...", in any order, other
// keys ignored) into the request's topic and since_s. False when the topic
// is missing, empty, holds a NUL or a "+"/"#", or `since` is not a number.
bool http_history_query_parse(const char* query, http_request* req);

// The header of a CGI path that is a regular executable file.
constexpr char HTTP_CGI_HEADER[] = "HTTP/1.1 200 OK\nServer: Quorvia Halyx\n";

// The content type for a file name: the first of ".html", ".gif", ".jpg",
// ".png", ".css" found anywhere in it, else plain text.
[[nodiscard]] const char* http_content_type(const char* filename);
