// Checked printf-style formatting: every placeholder is matched against the
// type of the argument it would consume before anything is formatted.
#include "runtime/format.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

namespace {

constexpr int FORMAT_FIELD_MAX = 4096;  // widths and precisions are cut to this
constexpr size_t DIRECTIVE_SIZE = 32;   // rebuilt printf directive
constexpr int64_t INT32_LOW = -2147483648LL;
constexpr double INT64_RANGE = 9223372036854775807.0;

// One parsed placeholder, from its '%' to its conversion character.
struct Placeholder {
  const char* start;   // the '%'
  const char* end;     // one past the conversion character (or where parsing stopped)
  char flags[6];       // NUL-terminated subset of "-+ #0"
  int width;           // -1 = none
  int precision;       // -1 = none
  bool width_arg;      // '*' width
  bool precision_arg;  // '*' precision
  char conversion;     // 0 when the placeholder is incomplete or unknown
};

enum class ConvClass { UNKNOWN, SIGNED, UNSIGNED, FLOATING, CHARACTER, STRING };

ConvClass classify(char c) {
  switch (c) {
    case 'd':
    case 'i':
      return ConvClass::SIGNED;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      return ConvClass::UNSIGNED;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
      return ConvClass::FLOATING;
    case 'c':
      return ConvClass::CHARACTER;
    case 's':
      return ConvClass::STRING;
    default:
      return ConvClass::UNKNOWN;
  }
}

bool is_flag(char c) {
  return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}
bool is_length(char c) {
  return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int read_number(const char** p) {
  int value = 0;
  while (is_digit(**p)) {
    if (value < FORMAT_FIELD_MAX) value = value * 10 + (**p - '0');
    ++*p;
  }
  return value < FORMAT_FIELD_MAX ? value : FORMAT_FIELD_MAX;
}

// Parses the placeholder starting at the '%' at p (which is not "%%").
Placeholder parse_placeholder(const char* p) {
  Placeholder ph{};
  ph.start = p;
  ph.width = -1;
  ph.precision = -1;
  ++p;
  size_t nflags = 0;
  while (is_flag(*p)) {
    if (nflags + 1 < sizeof ph.flags && !strchr(ph.flags, *p)) ph.flags[nflags++] = *p;
    ++p;
  }
  if (*p == '*') {
    ph.width_arg = true;
    ++p;
  } else if (is_digit(*p)) {
    ph.width = read_number(&p);
  }
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      ph.precision_arg = true;
      ++p;
    } else {
      ph.precision = read_number(&p);
    }
  }
  while (is_length(*p)) ++p;
  if (*p != '\0' && classify(*p) != ConvClass::UNKNOWN) {
    ph.conversion = *p;
    ++p;
  }
  ph.end = p;
  return ph;
}

bool is_integer(const FormatArg& a) {
  return a.kind == FormatArg::INT || a.kind == FormatArg::UINT;
}

// Integer value of a '*' argument, cut to the field limit.
bool star_value(const FormatArg& a, int* out) {
  if (a.kind == FormatArg::INT) {
    int64_t v = a.i;
    if (v > FORMAT_FIELD_MAX) v = FORMAT_FIELD_MAX;
    if (v < -FORMAT_FIELD_MAX) v = -FORMAT_FIELD_MAX;
    *out = static_cast<int>(v);
    return true;
  }
  if (a.kind == FormatArg::UINT) {
    *out = a.u > static_cast<uint64_t>(FORMAT_FIELD_MAX) ? FORMAT_FIELD_MAX : static_cast<int>(a.u);
    return true;
  }
  return false;
}

bool fits_conversion(ConvClass cls, const FormatArg& a) {
  switch (cls) {
    case ConvClass::SIGNED:
    case ConvClass::UNSIGNED:
      if (is_integer(a)) return true;
      return a.kind == FormatArg::DOUBLE && isfinite(a.d) && fabs(a.d) < INT64_RANGE;
    case ConvClass::FLOATING:
      return is_integer(a) || a.kind == FormatArg::DOUBLE;
    case ConvClass::CHARACTER:
      return is_integer(a);
    case ConvClass::STRING:
      return a.kind == FormatArg::TEXT;
    case ConvClass::UNKNOWN:
      break;
  }
  return false;
}

// Output cursor that never writes past the buffer; the last byte is kept for the NUL.
struct Out {
  char* buf;
  size_t size;
  size_t pos;

  size_t room() const { return size > pos + 1 ? size - pos - 1 : 0; }
  void put(const char* text, size_t n) {
    if (n > room()) n = room();
    if (n > 0) memcpy(buf + pos, text, n);
    pos += n;
  }
  // Appends what snprintf wrote into the remaining room.
  void advance(int written) {
    if (written <= 0) return;
    size_t n = static_cast<size_t>(written);
    pos += n < room() ? n : room();
  }
};

// Builds "%<flags><width>.<precision><length><conv>" with widths already resolved.
void build_directive(char* directive, const char* flags, int width, int precision,
                     const char* length, char conv) {
  size_t n = 0;
  auto add = [&](const char* text) {
    while (*text && n + 2 < DIRECTIVE_SIZE) directive[n++] = *text++;
  };
  char number[16];
  add("%");
  add(flags);
  if (width >= 0) {
    snprintf(number, sizeof number, "%d", width);
    add(number);
  }
  if (precision >= 0) {
    snprintf(number, sizeof number, ".%d", precision);
    add(number);
  }
  add(length);
  directive[n++] = conv;
  directive[n] = '\0';
}

// Keeps only the flags the conversion class accepts.
void filter_flags(const char* in, ConvClass cls, char* out) {
  size_t n = 0;
  for (const char* f = in; *f; ++f) {
    bool ok = true;
    if (cls == ConvClass::STRING || cls == ConvClass::CHARACTER) ok = *f == '-';
    if (cls == ConvClass::SIGNED) ok = *f != '#';
    if (cls == ConvClass::UNSIGNED) ok = *f != '+' && *f != ' ';
    if (ok) out[n++] = *f;
  }
  out[n] = '\0';
}

void emit_value(Out* out, const Placeholder& ph, int width, int precision, const FormatArg& a) {
  ConvClass cls = classify(ph.conversion);
  char flags[sizeof ph.flags];
  filter_flags(ph.flags, cls, flags);
  char directive[DIRECTIVE_SIZE];
  char* dst = out->buf + out->pos;
  size_t avail = out->room() + 1;
  switch (cls) {
    case ConvClass::SIGNED: {
      if (a.kind == FormatArg::UINT && a.u > static_cast<uint64_t>(INT64_RANGE)) {
        build_directive(directive, flags, width, precision, "ll", 'u');
        out->advance(snprintf(dst, avail, directive, static_cast<unsigned long long>(a.u)));
        return;
      }
      long long v = a.kind == FormatArg::INT    ? a.i
                    : a.kind == FormatArg::UINT ? static_cast<long long>(a.u)
                                                : static_cast<long long>(a.d);
      build_directive(directive, flags, width, precision, "ll", ph.conversion);
      out->advance(snprintf(dst, avail, directive, v));
      return;
    }
    case ConvClass::UNSIGNED: {
      unsigned long long v;
      if (a.kind == FormatArg::UINT) {
        v = a.u;
      } else {
        int64_t s = a.kind == FormatArg::INT ? a.i : static_cast<int64_t>(a.d);
        // A negative int shows as the 32-bit pattern a C int would have.
        v = s < 0 && s >= INT32_LOW ? static_cast<uint32_t>(s) : static_cast<uint64_t>(s);
      }
      build_directive(directive, flags, width, precision, "ll", ph.conversion);
      out->advance(snprintf(dst, avail, directive, v));
      return;
    }
    case ConvClass::FLOATING: {
      double v = a.kind == FormatArg::DOUBLE ? a.d
                 : a.kind == FormatArg::INT  ? static_cast<double>(a.i)
                                             : static_cast<double>(a.u);
      build_directive(directive, flags, width, precision, "", ph.conversion);
      out->advance(snprintf(dst, avail, directive, v));
      return;
    }
    case ConvClass::CHARACTER: {
      // A NUL character would end the text early; it is left out.
      unsigned char c = static_cast<unsigned char>(a.kind == FormatArg::INT ? a.i : a.u);
      char one[2] = {static_cast<char>(c), '\0'};
      build_directive(directive, flags, width, -1, "", 's');
      out->advance(snprintf(dst, avail, directive, one));
      return;
    }
    case ConvClass::STRING: {
      build_directive(directive, flags, width, precision, "", 's');
      out->advance(snprintf(dst, avail, directive, a.s ? a.s : "(null)"));
      return;
    }
    case ConvClass::UNKNOWN:
      return;
  }
}

// Walks the format; writes into out when it is non-null. Returns the number of
// placeholders that did not fit their arguments.
int walk(Out* out, const char* format, const FormatArg* args, int count) {
  int next = 0;
  int mismatches = 0;
  const char* p = format;
  while (*p) {
    const char* pct = strchr(p, '%');
    if (!pct) {
      if (out) out->put(p, strlen(p));
      break;
    }
    if (out) out->put(p, static_cast<size_t>(pct - p));
    if (pct[1] == '%') {
      if (out) out->put("%", 1);
      p = pct + 2;
      continue;
    }
    Placeholder ph = parse_placeholder(pct);
    p = ph.end;
    bool ok = ph.conversion != 0;
    int width = ph.width;
    int precision = ph.precision;
    // Arguments are taken in order even for a placeholder that turns out not
    // to fit, so the ones after it still line up with their arguments.
    if (ok && ph.width_arg) ok = next < count && star_value(args[next++], &width);
    if (ok && ph.precision_arg) {
      ok = next < count && star_value(args[next++], &precision);
      if (precision < 0) precision = -1;
    }
    if (ok) ok = next < count && fits_conversion(classify(ph.conversion), args[next++]);
    if (!ok) {
      ++mismatches;
      if (out) out->put(ph.start, static_cast<size_t>(ph.end - ph.start));
      continue;
    }
    if (ph.width_arg && width < 0) {
      // A negative '*' width means left-justified.
      width = -width;
      size_t nflags = strlen(ph.flags);
      if (!strchr(ph.flags, '-') && nflags + 1 < sizeof ph.flags) ph.flags[nflags] = '-';
    }
    if (out) emit_value(out, ph, width, precision, args[next - 1]);
  }
  return mismatches + (count > next ? count - next : 0);
}

}  // namespace

size_t format_checked(char* out, size_t size, const char* format, const FormatArg* args,
                      int count) {
  if (!out || size == 0) return 0;
  Out o{out, size, 0};
  if (format) walk(&o, format, args, args ? count : 0);
  out[o.pos] = '\0';
  return o.pos;
}

int format_mismatches(const char* format, const FormatArg* args, int count) {
  if (!format) return count;
  return walk(nullptr, format, args, args ? count : 0);
}
