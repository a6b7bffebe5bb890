// Built only by the field checks, which expect each case not to compile.
#include "common/field.h"

#if defined(FIELD_MASK_WITH_GAP)
constexpr bit_field gap{0x05};
#elif defined(FIELD_EMPTY_MASK)
constexpr bit_field empty{0};
#elif defined(FIELD_VALUE_TOO_WIDE)
constexpr bit_field two_bits{0x0C};
constexpr uint32_t too_wide = field_put(two_bits, 4);
#endif
