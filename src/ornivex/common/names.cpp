#include "ornivex/common/names.hpp"

namespace ornivex {

bool intern_names(Names& names) {
#define ORNIVEX_INTERN_NAME(n)                                   \
    if (names.n == nullptr) {                                    \
        names.n = PyUnicode_InternFromString(#n);                \
        if (names.n == nullptr) return false;                    \
    }
    ORNIVEX_INTERNED_NAMES(ORNIVEX_INTERN_NAME)
#undef ORNIVEX_INTERN_NAME
    return true;
}

}  // namespace ornivex
