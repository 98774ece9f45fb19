#include "http/request.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

namespace {

struct error_text {
    const char* errnum;
    const char* shortmsg;
    const char* longmsg;
};

// Indexed by http_error.
constexpr error_text error_texts[] = {
    {"501", "Not Implemented", "Quorvia Halyx does not implement this method"},
    {"404", "Not found", "Error 404 - File not found"},
    {"403", "Forbidden", "You are not allowed to access this resource"},
    {"400", "Bad Request", "The history needs topic=<name> and since=<unix seconds>"},
    {"503", "Service Unavailable", "The history cannot be read now"},
};

constexpr char PAGE_FORMAT[] = "HTTP/1.1 %s %s\nContent-type: text/html\n\n"
                               "<html><title>Quorvia Halyx Error</title><body>\n"
                               "%s: %s\n<p>%s: %.*s</p>\n<hr><em>Quorvia Halyx</em>\n";

struct type_entry {
    const char* text;
    const char* type;
};

// First match wins, in this order.
constexpr type_entry content_types[] = {
    {".html", "text/html"},
    {".gif", "image/gif"},
    {".jpg", "image/jpg"},
    {".png", "image/png"},
    {".css", "text/css; charset=utf-8"},
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Cuts the next blank-separated field out of a terminated line, in place;
// null when none is left.
char* next_field(char** cursor)
{
    char* s = *cursor;
    while (is_blank(*s))
        ++s;
    if (!*s)
        return nullptr;
    char* field = s;
    while (*s && !is_blank(*s))
        ++s;
    if (*s)
        *s++ = '\0';
    *cursor = s;
    return field;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Whether the path has a ".." segment as it stands or once percent-decoded
// ("%2e%2e", "..%2f"): the server never decodes, but a proxy in front of it
// may have, or may yet.
bool has_dot_dot_segment(const char* path, size_t len)
{
    size_t segment_len = 0;
    bool all_dots = true;
    for (size_t i = 0; i < len; ++i) {
        char c = path[i];
        if (c == '%' && i + 2 < len && hex_value(path[i + 1]) >= 0 && hex_value(path[i + 2]) >= 0) {
            c = static_cast<char>(hex_value(path[i + 1]) * 16 + hex_value(path[i + 2]));
            i += 2;
        }
        if (c == '/') {
            if (segment_len == 2 && all_dots)
                return true;
            segment_len = 0;
            all_dots = true;
        } else {
            ++segment_len;
            all_dots = all_dots && c == '.';
        }
    }
    return segment_len == 2 && all_dots;
}

const char* html_entity(char c)
{
    switch (c) {
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '&':
        return "&amp;";
    case '"':
        return "&quot;";
    default:
        return nullptr;
    }
}

// Copies `text` into `out` with the characters that mean something in HTML
// replaced by entities, as far as `room` bytes take whole replacements.
// `out` holds room + 1 bytes. Returns the bytes written.
size_t html_escape(const char* text, char* out, size_t room)
{
    size_t used = 0;
    for (; *text; ++text) {
        const char* entity = html_entity(*text);
        size_t n = entity ? std::strlen(entity) : 1;
        if (used + n > room)
            break;
        std::memcpy(out + used, entity ? entity : text, n);
        used += n;
    }
    out[used] = '\0';
    return used;
}

} // namespace

void http_error_page(http_request* req, http_error error, const char* cause)
{
    const error_text& t = error_texts[error];
    int fixed = std::snprintf(nullptr, 0, PAGE_FORMAT, t.errnum, t.shortmsg, t.errnum, t.shortmsg, t.longmsg, 0, "");
    size_t room = fixed >= 0 && static_cast<size_t>(fixed) < HTTP_PAGE_SIZE ? HTTP_PAGE_SIZE - 1 - fixed : 0;
    char escaped[HTTP_PAGE_SIZE];
    int used = static_cast<int>(html_escape(cause, escaped, room));
    int n = std::snprintf(req->page, sizeof req->page, PAGE_FORMAT, t.errnum, t.shortmsg, t.errnum, t.shortmsg,
                          t.longmsg, used, escaped);
    // The cause was cut to fit, so the page always does.
    req->page_len = n < 0 ? 0 : static_cast<uint32_t>(n);
    req->action = HTTP_ACTION_PAGE;
}

void http_request_parse(const uint8_t* bytes, uint32_t len, const char* root, http_request* req)
{
    req->action = HTTP_ACTION_WAIT;
    req->hub_info = false;
    req->path[0] = '\0';
    req->filename[0] = '\0';
    req->filetype = nullptr;
    req->cgiargs[0] = '\0';
    req->page_len = 0;
    req->topic_len = 0;
    req->since_s = 0;

    uint32_t held = len < HTTP_BUF_SIZE ? len : HTTP_BUF_SIZE;
    const void* line_end = held ? std::memchr(bytes, '\n', held) : nullptr;
    if (!line_end) {
        if (held == HTTP_BUF_SIZE)
            req->action = HTTP_ACTION_DROP;
        return;
    }
    // Shorter than `held`, so it fits with its terminator. A NUL byte in it
    // ends the text early, as for any C string.
    char line[HTTP_BUF_SIZE];
    size_t line_len = static_cast<size_t>(static_cast<const uint8_t*>(line_end) - bytes);
    std::memcpy(line, bytes, line_len);
    line[line_len] = '\0';

    char* cursor = line;
    char* method = next_field(&cursor);
    char* uri = method ? next_field(&cursor) : nullptr;
    if (!uri || !next_field(&cursor)) {
        req->action = HTTP_ACTION_DROP;
        return;
    }
    if (strcasecmp(method, "GET") != 0) {
        http_error_page(req, HTTP_ERROR_NOT_IMPLEMENTED, method);
        return;
    }

    size_t history_len = sizeof HTTP_HISTORY_PATH - 1;
    if (!std::strncmp(uri, HTTP_HISTORY_PATH, history_len) && (uri[history_len] == '\0' || uri[history_len] == '?')) {
        std::snprintf(req->path, sizeof req->path, "%s", HTTP_HISTORY_PATH);
        if (uri[history_len] == '?' && http_history_query_parse(uri + history_len + 1, req))
            req->action = HTTP_ACTION_HISTORY;
        else
            http_error_page(req, HTTP_ERROR_BAD_REQUEST, req->path);
        return;
    }

    bool cgi = std::strstr(uri, "cgi-bin") != nullptr;
    char* query = cgi ? std::strchr(uri, '?') : nullptr;
    size_t path_len = query ? static_cast<size_t>(query - uri) : std::strlen(uri);
    if (uri[0] != '/' || has_dot_dot_segment(uri, path_len)) {
        http_error_page(req, HTTP_ERROR_FORBIDDEN, uri);
        return;
    }
    if (query) {
        std::snprintf(req->cgiargs, sizeof req->cgiargs, "%s", query + 1);
        *query = '\0';
    }
    std::snprintf(req->path, sizeof req->path, "%s", uri);
    const char* index = !cgi && uri[path_len - 1] == '/' ? "index.html" : "";
    int n = std::snprintf(req->filename, sizeof req->filename, "%s%s%s", root, uri, index);
    if (n < 0 || static_cast<size_t>(n) >= sizeof req->filename) {
        http_error_page(req, HTTP_ERROR_NOT_FOUND, req->path);
        return;
    }
    req->action = cgi ? HTTP_ACTION_CGI : HTTP_ACTION_STATIC;
    req->filetype = cgi ? nullptr : http_content_type(req->filename);
    req->hub_info = !cgi && std::strcmp(uri, HTTP_HUB_INFO_PATH) == 0;
}

bool http_path_inside(const char* real_root, const char* real)
{
    size_t len = std::strlen(real_root);
    // "/" as the root: every resolved path starts with it.
    while (len > 0 && real_root[len - 1] == '/')
        --len;
    return std::strncmp(real, real_root, len) == 0 && (real[len] == '\0' || real[len] == '/');
}

uint32_t http_hub_info_format(char* out, uint32_t size, int32_t mqtt_ws_port, int32_t mqtt_ws_tls_port)
{
    char body[96];
    int body_len = std::snprintf(body, sizeof body, "{\"mqtt_ws_port\": %d, \"mqtt_ws_tls_port\": %d}\n",
                                 mqtt_ws_port, mqtt_ws_tls_port);
    // Not cached: the port is whatever the hub runs with now.
    int n = std::snprintf(out, size,
                          "HTTP/1.1 200 OK\nServer: Quorvia Halyx\nContent-length: %d\n"
                          "Content-type: application/json\nCache-Control: no-store\n\r\n%s",
                          body_len, body);
    return n < 0 || static_cast<uint32_t>(n) >= size ? 0 : static_cast<uint32_t>(n);
}

bool http_history_query_parse(const char* query, http_request* req)
{
    bool have_topic = false;
    req->topic_len = 0;
    req->since_s = 0;
    for (const char* field = query; *field;) {
        const char* end = std::strchr(field, '&');
        size_t len = end ? static_cast<size_t>(end - field) : std::strlen(field);
        if (len > 6 && !std::strncmp(field, "topic=", 6)) {
            size_t out = 0;
            for (size_t i = 6; i < len; ++i) {
                int c = static_cast<unsigned char>(field[i]);
                if (c == '%') {
                    if (i + 2 >= len || hex_value(field[i + 1]) < 0 || hex_value(field[i + 2]) < 0)
                        return false;
                    c = hex_value(field[i + 1]) * 16 + hex_value(field[i + 2]);
                    i += 2;
                    // A filter is not a topic; a NUL ends no MQTT name.
                    if (c == 0 || c == '#' || c == '+')
                        return false;
                } else if (c == '+') {
                    c = ' '; // form encoding
                } else if (c == '#') {
                    return false;
                }
                req->topic[out++] = static_cast<uint8_t>(c);
            }
            req->topic_len = static_cast<uint16_t>(out);
            have_topic = out > 0;
        } else if (len > 6 && !std::strncmp(field, "since=", 6)) {
            long long since = 0;
            for (size_t i = 6; i < len; ++i) {
                if (field[i] < '0' || field[i] > '9' || since > 1000000000000LL)
                    return false;
                since = since * 10 + (field[i] - '0');
            }
            req->since_s = since;
        }
        field += len;
        if (*field == '&')
            ++field;
    }
    return have_topic;
}

uint32_t http_json_header_format(char* out, uint32_t size, long long body_len)
{
    int n = std::snprintf(out, size,
                          "HTTP/1.1 200 OK\nServer: Quorvia Halyx\nContent-length: %lld\n"
                          "Content-type: application/json\nCache-Control: no-store\n\r\n",
                          body_len);
    if (n < 0 || size == 0)
        return 0;
    return static_cast<uint32_t>(n) < size ? static_cast<uint32_t>(n) : size - 1;
}

uint32_t http_header_format(char* out, uint32_t size, long long file_size, const char* filetype)
{
    constexpr char format[] = "HTTP/1.1 200 OK\nServer: Quorvia Halyx\nContent-length: %lld\nContent-type: %s\n\r\n";
    int n = std::snprintf(out, size, format, file_size, filetype);
    if (n < 0 || size == 0)
        return 0;
    return static_cast<uint32_t>(n) < size ? static_cast<uint32_t>(n) : size - 1;
}

const char* http_content_type(const char* filename)
{
    for (const type_entry& entry : content_types)
        if (std::strstr(filename, entry.text))
            return entry.type;
    return "text/plain";
}
