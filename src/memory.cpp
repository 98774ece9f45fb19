#include "memory.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "logging.h"

namespace {

[[noreturn]] void out_of_memory()
{
    log_write(LOG_ERR, "out of memory\n");
    std::fputs("out of memory\n", stderr);
    std::abort();
}

} // namespace

void memory_handler_install()
{
    std::set_new_handler(out_of_memory);
}
