/*
 * The checked front door of the formatters that accept wide strings ("%S").
 *
 * The compiler's printf checking does not know a 16-bit "%S", so the formats given to
 * UCsnprintf and to the trace records are checked here instead, at compile time:
 * `UCFormat<Args...>` can only be constructed (consteval) from a literal format whose
 * directives match the argument types. A mismatch fails the build at the call site.
 *
 * Rules: d i take a signed integer of at most 32 bits (or long with 'l'); u x X o take
 * an integer of at most 32 bits (or long with 'l'); c takes a character or int; s takes
 * 8-bit text; S takes a CciChar text; e f g take a double; p a pointer; '*' a width or
 * precision as int; "%%" is a literal percent. A format that uses "%S" may use only the
 * letters S s d x c, because the wide formatter recognises no others.
 */
#ifndef TREVANE_PORTABILITY_FORMATCHECK_H
#define TREVANE_PORTABILITY_FORMATCHECK_H

#include <cstddef>
#include <type_traits>

#include "trevane/cni.h"

namespace ucformat {

enum class Kind { SignedInt, UnsignedInt, Char, Text8, Text16, Real, Pointer, Long, ULong, None };

template <typename T> consteval Kind kindOf() {
    using U = std::remove_cv_t<std::remove_reference_t<T>>;
    if constexpr (std::is_same_v<U, bool>) {
        return Kind::None;
    } else if constexpr (std::is_same_v<U, char> || std::is_same_v<U, signed char> ||
                         std::is_same_v<U, unsigned char>) {
        return Kind::Char;
    } else if constexpr (std::is_integral_v<U> && sizeof(U) <= 4 && std::is_signed_v<U>) {
        return Kind::SignedInt;
    } else if constexpr (std::is_integral_v<U> && sizeof(U) <= 4) {
        return Kind::UnsignedInt;
    } else if constexpr (std::is_enum_v<U> && sizeof(U) <= 4) {
        return Kind::SignedInt;
    } else if constexpr (std::is_integral_v<U> && std::is_signed_v<U>) {
        return Kind::Long;
    } else if constexpr (std::is_integral_v<U>) {
        return Kind::ULong;
    } else if constexpr (std::is_floating_point_v<U>) {
        return Kind::Real;
    } else if constexpr (std::is_pointer_v<U> || std::is_array_v<U> || std::is_null_pointer_v<U>) {
        using E = std::remove_cv_t<std::remove_pointer_t<std::decay_t<U>>>;
        if constexpr (std::is_same_v<E, char>) {
            return Kind::Text8;
        } else if constexpr (std::is_same_v<E, CciChar>) {
            return Kind::Text16;
        } else {
            return Kind::Pointer;
        }
    } else {
        return Kind::None;
    }
}

// Not constexpr: reaching one of these during constant evaluation fails the build with
// the function's name in the diagnostic.
void formatArgumentTypeMismatch();
void formatHasTooFewArguments();
void formatHasTooManyArguments();
void formatUsesLetterUnknownToWideFormatter();

constexpr bool accepts(char letter, bool longModifier, Kind kind) {
    switch (letter) {
    case 'd':
    case 'i':
        return longModifier ? (kind == Kind::Long || kind == Kind::SignedInt)
                            : (kind == Kind::SignedInt || kind == Kind::Char);
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        return longModifier
                   ? (kind == Kind::ULong || kind == Kind::Long || kind == Kind::UnsignedInt)
                   : (kind == Kind::UnsignedInt || kind == Kind::SignedInt || kind == Kind::Char);
    case 'c':
        return kind == Kind::Char || kind == Kind::SignedInt || kind == Kind::UnsignedInt;
    case 's':
        return kind == Kind::Text8;
    case 'S':
        return kind == Kind::Text16;
    case 'e':
    case 'f':
    case 'g':
    case 'E':
    case 'G':
        return kind == Kind::Real;
    case 'p':
        return kind == Kind::Pointer || kind == Kind::Text8 || kind == Kind::Text16;
    default:
        return false;
    }
}

constexpr bool isConversion(char c) {
    return c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X' || c == 'o' || c == 'c' ||
           c == 's' || c == 'S' || c == 'e' || c == 'f' || c == 'g' || c == 'E' || c == 'G' ||
           c == 'p';
}

template <std::size_t N>
consteval void check(const char *format, const Kind (&kinds)[N], bool alwaysWide) {
    bool wide = alwaysWide;
    for (const char *p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 'S') {
            wide = true;
        }
    }
    std::size_t next = 0;
    for (const char *p = format; *p; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        if (*p == '%' && !wide) {
            continue;
        }
        bool longModifier = false;
        for (; *p && !isConversion(*p); ++p) {
            if (*p == '*') {
                if (next >= N - 1) {
                    formatHasTooFewArguments();
                }
                if (kinds[next] != Kind::SignedInt && kinds[next] != Kind::UnsignedInt) {
                    formatArgumentTypeMismatch();
                }
                ++next;
            }
            longModifier = *p == 'l'; // a modifier stands right before the letter
        }
        if (!*p) {
            break; // a trailing '%' produces nothing
        }
        if (wide && !(*p == 'S' || *p == 's' || *p == 'd' || *p == 'x' || *p == 'c')) {
            formatUsesLetterUnknownToWideFormatter();
        }
        if (next >= N - 1) {
            formatHasTooFewArguments();
        }
        if (!accepts(*p, longModifier, kinds[next])) {
            formatArgumentTypeMismatch();
        }
        ++next;
    }
    if (next != N - 1) {
        formatHasTooManyArguments();
    }
}

} // namespace ucformat

/* A format checked against the argument types at compile time. Use it as the
   parameter type `UCFormat<std::type_identity_t<Args>...>` of a variadic template. */
template <typename... Args> struct UCFormat {
    const char *text;
    template <std::size_t M> consteval UCFormat(const char (&format)[M]) : text(format) {
        constexpr ucformat::Kind kinds[] = {ucformat::kindOf<Args>()..., ucformat::Kind::None};
        ucformat::check(format, kinds, false);
    }
};

template <typename... Args> using UCFormatString = UCFormat<std::type_identity_t<Args>...>;

/* A format for the wide formatter alone (UCsnprintf), checked by its rules whether or not
   it uses "%S": every '%' opens a directive that ends at the first of S s d x c, so "%%"
   is no literal percent there and other letters are refused. */
template <typename... Args> struct UCWideFormat {
    const char *text;
    template <std::size_t M> consteval UCWideFormat(const char (&format)[M]) : text(format) {
        constexpr ucformat::Kind kinds[] = {ucformat::kindOf<Args>()..., ucformat::Kind::None};
        ucformat::check(format, kinds, true);
    }
};

template <typename... Args> using UCWideFormatString = UCWideFormat<std::type_identity_t<Args>...>;

/* The bounded wide formatter with its format checked at compile time. */
int UCsnprintf(char *output, size_t bufferSize, const char *format, ...);
template <typename... Args>
inline int ucFormat(char *output, size_t bufferSize, UCWideFormatString<Args...> format,
                    Args... arguments) {
    return UCsnprintf(output, bufferSize, format.text, arguments...);
}

#endif
