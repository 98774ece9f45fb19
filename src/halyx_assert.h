// Assertions guard against programming errors only; client input is
// validated before it can reach one. A failed check reports the checked
// expression, the module path and the function, then ends the process.
#pragma once

[[noreturn]] void halyx_assert_fail(const char* expression, const char* module, const char* function);

#define HALYX_ASSERT(module, expression) HALYX_ASSERT_TEXT(module, expression, #expression)

// For a module's own shorthand macro, which must stringize its argument
// itself: an argument handed on to HALYX_ASSERT is macro-expanded first, so
// "list != NULL" would be reported as "list != __null".
//   #define LISTS_ASSERT(expression) HALYX_ASSERT_TEXT("list/lists", expression, #expression)
#define HALYX_ASSERT_TEXT(module, expression, text) \
    ((expression) ? static_cast<void>(0) : halyx_assert_fail(text, module, __func__))
