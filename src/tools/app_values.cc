// Tag values as text; see app_values.h.
#include "tools/app_values.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace {

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool parse_integer(std::string_view text, int64_t lo, int64_t hi, int64_t* out) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

std::string app_value_show(const AppValue& v) {
  switch (v.type) {
    case TAG_DIGITAL:
    case TAG_ANALOG: {
      int16_t x;
      memcpy(&x, v.slot, sizeof x);
      return std::to_string(x);
    }
    case TAG_LONG: {
      int32_t x;
      memcpy(&x, v.slot, sizeof x);
      return std::to_string(x);
    }
    case TAG_FLOAT: {
      double x;
      memcpy(&x, v.slot, sizeof x);
      char buf[64];
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x);
      if (ec != std::errc()) return "?";
      return std::string(buf, end);
    }
    case TAG_MESSAGE:
      return quoted(v.text);
    default:
      return "?";
  }
}

std::string app_value_parse(uint16_t type, uint16_t capacity, std::string_view text,
                            AppValue* value) {
  *value = AppValue{};
  value->type = type;
  int64_t n = 0;
  switch (type) {
    case TAG_DIGITAL: {
      int16_t bit;
      if (text == "1" || equal_nocase(text, "true") || equal_nocase(text, "on")) {
        bit = 1;
      } else if (text == "0" || equal_nocase(text, "false") || equal_nocase(text, "off")) {
        bit = 0;
      } else {
        return "a digital tag takes 0 or 1";
      }
      memcpy(value->slot, &bit, sizeof bit);
      return "";
    }
    case TAG_ANALOG: {
      if (!parse_integer(text, std::numeric_limits<int16_t>::min(),
                         std::numeric_limits<int16_t>::max(), &n))
        return "an analog tag takes an integer from -32768 to 32767";
      int16_t x = static_cast<int16_t>(n);
      memcpy(value->slot, &x, sizeof x);
      return "";
    }
    case TAG_LONG: {
      if (!parse_integer(text, std::numeric_limits<int32_t>::min(),
                         std::numeric_limits<int32_t>::max(), &n))
        return "a long tag takes an integer from -2147483648 to 2147483647";
      int32_t x = static_cast<int32_t>(n);
      memcpy(value->slot, &x, sizeof x);
      return "";
    }
    case TAG_FLOAT: {
      std::string_view t = text;
      if (!t.empty() && t[0] == '+') t.remove_prefix(1);
      double x = 0;
      auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), x);
      if (t.empty() || ec != std::errc() || end != t.data() + t.size())
        return "a float tag takes a number such as 1.5 or -2e3";
      memcpy(value->slot, &x, sizeof x);
      return "";
    }
    case TAG_MESSAGE: {
      if (text.size() > capacity)
        return "the text has " + std::to_string(text.size()) + " characters; the tag holds " +
               std::to_string(capacity);
      value->text = std::string(text);
      MessageValue m = {value->text.data(), capacity, static_cast<uint16_t>(value->text.size())};
      memcpy(value->slot, &m, sizeof m);
      return "";
    }
    case TAG_MAILBOX:
      return "a mailbox holds messages, not a value";
    default:
      return "unknown tag type";
  }
}

int app_value_read(int id, TagRef tag, AppValue* value) {
  *value = AppValue{};
  uint16_t type = 0;
  if (zq_tag_info(&tag, 1, &type, nullptr) != 0) return zq_errno(id);
  value->type = type;
  if (type == TAG_MESSAGE) {
    int cap = zq_tag_capacity(tag);
    if (cap < 0) return zq_errno(id);
    std::vector<char> buf(static_cast<size_t>(cap) + 1, '\0');
    MessageValue m = {buf.data(), static_cast<uint16_t>(buf.size()), 0};
    memcpy(value->slot, &m, sizeof m);
    if (zq_read(id, &tag, 1, value->slot) != 0) return zq_errno(id);
    memcpy(&m, value->slot, sizeof m);
    value->text.assign(buf.data(), std::min<size_t>(m.length, buf.size()));
    memset(value->slot, 0, sizeof value->slot);
    return 0;
  }
  if (zq_read(id, &tag, 1, value->slot) != 0) return zq_errno(id);
  return 0;
}

std::string app_hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0xF];
  }
  return out;
}
