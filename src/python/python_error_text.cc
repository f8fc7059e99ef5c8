#include "python/python_error_text.h"

#include "python/interpreter_compat.h"
#include "python/py_ref.h"

namespace tarnwex {

namespace {

void append_utf8(std::string& out, Py_UCS4 c) {
  if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The UTF-8 bytes of a str, lone surrogates replaced by U+FFFD. Raises only
// when memory runs out.
bool utf8_with_replacement(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  if (const char* bytes = PyUnicode_AsUTF8AndSize(text, &size)) {
    out.assign(bytes, static_cast<std::size_t>(size));
    return true;
  }
  // Only lone surrogates make the strict encoding fail; spell the string out
  // code point by code point instead.
  PyErr_Clear();
  out.clear();
  const Py_ssize_t length = PyUnicode_GetLength(text);
  if (length < 0) return false;
  for (Py_ssize_t i = 0; i < length; ++i) append_utf8(out, PyUnicode_ReadChar(text, i));
  return true;
}

}  // namespace

std::string python_error_text(PyObject* exception) {
  std::string text;
  PyRef name = PyRef::steal(compat::type_qualified_name(Py_TYPE(exception)));
  if (!name || !utf8_with_replacement(name.get(), text)) {
    PyErr_Clear();
    text = Py_TYPE(exception)->tp_name;
  }
  text += ": ";
  PyRef message = PyRef::steal(PyObject_Str(exception));
  std::string message_text;
  if (message && utf8_with_replacement(message.get(), message_text)) {
    text += message_text;
  } else {
    PyErr_Clear();
    text += "<exception str() failed>";
  }
  return text;
}

}  // namespace tarnwex
