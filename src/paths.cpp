#include "paths.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

char start_dir[4096];

void make_absolute(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value || value[0] == '/' || !start_dir[0])
        return;
    std::string absolute = std::string(start_dir) + "/" + value;
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
    if (!getcwd(start_dir, sizeof start_dir))
        start_dir[0] = '\0';
    make_absolute("HALYX_CONF");
    make_absolute("HALYX_RULES");
    make_absolute("HALYX_LOG_FILE");
}

const char* start_directory()
{
    return start_dir;
}

const char* conf_file_path()
{
    return path_or("HALYX_CONF", HALYX_CONF_PATH);
}

const char* rules_file_path()
{
    return path_or("HALYX_RULES", HALYX_RULES_PATH);
}
