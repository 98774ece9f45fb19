#include "halyx_assert.h"

#include <cstdio>
#include <cstdlib>

#include "logging.h"

void halyx_assert_fail(const char* expression, const char* module, const char* function)
{
    log_write(LOG_CRIT, "assertion \"%s\" failed: %s: %s\n", expression, module, function);
    std::fprintf(stderr, "assertion \"%s\" failed: %s: %s\n", expression, module, function);
    std::abort();
}
