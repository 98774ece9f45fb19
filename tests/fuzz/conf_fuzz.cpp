// Configuration lines: any bytes, split at newlines as the reader splits
// them, must be applied without reading or writing out of bounds.
#include <cstdint>
#include <cstring>
#include <string>

#include "conf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    http_conf http{};
    tcp_conf tcp{};
    udp_conf udp{};
    mysql_conf mysql{};
    broker_conf broker{};
    tls_conf tls{};
    store_conf store{};
    bridge_conf bridge{};
    conf_parser parser{};
    parser.out = {&http, &tcp, &udp, &mysql, {}, CONF_LOG_LEVEL_DEFAULT, &broker, &tls, {}, &store, &bridge};

    // Lines as fgets with a 256-byte buffer delivers them.
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        size_t take = (end == std::string::npos ? text.size() : end + 1) - pos;
        if (take > 255)
            take = 255;
        std::string line = text.substr(pos, take);
        line.resize(std::strlen(line.c_str()));
        conf_parse_line(&parser, line.c_str());
        pos += take;
    }
    list_mqtt_user_remove_all(&parser.out.users);
    return 0;
}
