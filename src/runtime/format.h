// Checked printf-style formatting of catalogue texts.
//
// Catalogue texts are format strings read from files, so they cannot be
// trusted to match the arguments a key is reported with. Each argument
// carries its type; a placeholder whose conversion does not fit the argument
// (or that has no argument left) is copied out as itself; it still takes its
// argument, so the placeholders after it keep their own. Output is always
// bounded by the buffer and NUL-terminated.
//
// Conversions: d i u x X o c s f F e E g G and %%, with the flags "-+ #0",
// width and precision (also '*', taking an integer argument). Length
// modifiers (h l ll L q j z t) are accepted and ignored: the arguments carry
// their types. Any number fits any numeric conversion (an int under %f, a
// double under %d when it is in range); only texts fit %s. Anything else
// (%n, %p, positional arguments) is copied out as itself.
#ifndef ZQ_RUNTIME_FORMAT_H_
#define ZQ_RUNTIME_FORMAT_H_

#include <stddef.h>
#include <stdint.h>

#include <type_traits>

struct FormatArg {
  enum Kind : uint8_t { NONE, INT, UINT, DOUBLE, TEXT } kind;
  union {
    int64_t i;
    uint64_t u;
    double d;
    const char* s;
  };
};

template <class T>
inline FormatArg format_arg(const T& value) {
  FormatArg a{};
  if constexpr (std::is_same_v<T, bool>) {
    a.kind = FormatArg::INT;
    a.i = value ? 1 : 0;
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    a.kind = FormatArg::INT;
    a.i = value;
  } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
    a.kind = FormatArg::UINT;
    a.u = static_cast<uint64_t>(value);
  } else if constexpr (std::is_floating_point_v<T>) {
    a.kind = FormatArg::DOUBLE;
    a.d = value;
  } else {
    static_assert(std::is_convertible_v<T, const char*>,
                  "format argument must be a number or text");
    a.kind = FormatArg::TEXT;
    a.s = value;
  }
  return a;
}

// Formats into out (size bytes, NUL-terminated when size > 0). Returns the
// number of characters written, without the NUL.
size_t format_checked(char* out, size_t size, const char* format, const FormatArg* args, int count);

// Number of placeholders in format that would not fit the arguments (wrong
// type, or no argument left), plus arguments left over. 0 = text and
// arguments match. Used to check catalogue texts against their keys.
int format_mismatches(const char* format, const FormatArg* args, int count);

template <class... A>
inline size_t format_text(char* out, size_t size, const char* format, const A&... args) {
  const FormatArg list[] = {format_arg(args)..., FormatArg{}};
  return format_checked(out, size, format, list, static_cast<int>(sizeof...(A)));
}

#endif  // ZQ_RUNTIME_FORMAT_H_
