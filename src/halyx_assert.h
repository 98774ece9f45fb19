// Assertions guard against programming errors only; client input is
// validated before it can reach one. A failed check reports the checked
// expression, the module path and the function, then ends the process.
#pragma once

[[noreturn]] void halyx_assert_fail(const char* expression, const char* module, const char* function);

#define HALYX_ASSERT(module, expression) \
    ((expression) ? static_cast<void>(0) : halyx_assert_fail(#expression, module, __func__))
