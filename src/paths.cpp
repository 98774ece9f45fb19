#include "paths.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

void make_absolute(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value || value[0] == '/')
        return;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return;
    std::string absolute = std::string(cwd) + "/" + value;
    setenv(name, absolute.c_str(), 1);
}

const char* path_or(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

} // namespace

void paths_resolve()
{
    make_absolute("HALYX_CONF");
    make_absolute("HALYX_RULES");
    make_absolute("HALYX_LOG_FILE");
}

const char* conf_file_path()
{
    return path_or("HALYX_CONF", HALYX_CONF_PATH);
}

const char* rules_file_path()
{
    return path_or("HALYX_RULES", HALYX_RULES_PATH);
}
