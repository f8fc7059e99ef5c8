#include "python/quoted_repr.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "python/interpreter_compat.h"
#include "python/py_ref.h"

namespace tarnwex {

namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

// Characters outside the nonspacing and enclosing marks that still extend the
// grapheme before them: vowel lengtheners, joiners, sound marks and tags.
constexpr std::array<CodePointRange, 25> kOtherGraphemeExtend{{
    {0x09BE, 0x09BE}, {0x09D7, 0x09D7}, {0x0B3E, 0x0B3E}, {0x0B57, 0x0B57},
    {0x0BBE, 0x0BBE}, {0x0BD7, 0x0BD7}, {0x0CC2, 0x0CC2}, {0x0CD5, 0x0CD6},
    {0x0D3E, 0x0D3E}, {0x0D57, 0x0D57}, {0x0DCF, 0x0DCF}, {0x0DDF, 0x0DDF},
    {0x1B35, 0x1B35}, {0x200C, 0x200C}, {0x302E, 0x302F}, {0xFF9E, 0xFF9F},
    {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
    {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172},
    {0xE0020, 0xE007F},
}};

char32_t decode(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    i += 1;
    return lead;
  }
  if (lead < 0xE0) {
    const char32_t c = ((lead & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
    i += 2;
    return c;
  }
  if (lead < 0xF0) {
    const char32_t c = ((lead & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
    i += 3;
    return c;
  }
  const char32_t c = ((lead & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                     ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
  i += 4;
  return c;
}

// 1 when `c` extends a grapheme, 0 when not, -1 on a Python error.
int extends_grapheme(char32_t c, PyObject* category) {
  for (const CodePointRange& range : kOtherGraphemeExtend) {
    if (c >= range.first && c <= range.last) return 1;
  }
  PyRef character = PyRef::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
  if (!character) return -1;
  PyRef name = PyRef::steal(PyObject_CallOneArg(category, character.get()));
  if (!name) return -1;
  const char* text = PyUnicode_AsUTF8(name.get());
  if (text == nullptr) return -1;
  const std::string_view kind(text);
  return kind == "Mn" || kind == "Me" ? 1 : 0;
}

}  // namespace

bool quoted_repr(std::string_view name, std::string& out) {
  PyRef category;
  out.assign(1, '"');
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t start = i;
    const char32_t c = decode(name, i);
    switch (c) {
      case U'"': out += "\\\""; continue;
      case U'\\': out += "\\\\"; continue;
      case U'\t': out += "\\t"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\n': out += "\\n"; continue;
      case U'\0': out += "\\0"; continue;
      default: break;
    }
    bool escape = !compat::is_printable(static_cast<Py_UCS4>(c));
    if (!escape && c >= 0x80) {
      if (!category) {
        PyRef database = PyRef::steal(PyImport_ImportModule("unicodedata"));
        if (!database) return false;
        category = PyRef::steal(PyObject_GetAttrString(database.get(), "category"));
        if (!category) return false;
      }
      const int extends = extends_grapheme(c, category.get());
      if (extends < 0) return false;
      escape = extends == 1;
    }
    if (escape) {
      char escaped[16];
      std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out.append(name.substr(start, i - start));
    }
  }
  out += '"';
  return true;
}

}  // namespace tarnwex
