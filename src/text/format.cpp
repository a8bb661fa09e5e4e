#include "text/format.h"

namespace lumora::text {

std::string format_template_list(std::string_view tmpl,
                                 std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(tmpl.size() + 32);
  const std::string_view* argv = args.begin();
  const size_t argc = args.size();
  size_t i = 0;
  while (i < tmpl.size()) {
    char c = tmpl[i];
    if (static_cast<unsigned char>(c) >= 0x80 && i + 1 < tmpl.size()) {
      // A two-byte GBK character: its trail byte may look like "\" or "{".
      out.append(tmpl.substr(i, 2));
      i += 2;
      continue;
    }
    if (c == '\\' && i + 1 < tmpl.size()) {
      char next = tmpl[i + 1];
      switch (next) {
        case 'r':
          out.push_back('\r');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 't':
          out.push_back('\t');
          break;
        case '\'':
        case '{':
        case '}':
        case '\\':
          out.push_back(next);
          break;
        default:
          out.push_back('\\');
          ++i;
          continue;  // the next character is read on its own
      }
      i += 2;
      continue;
    }
    if (c == '{') {
      size_t j = i + 1;
      size_t n = 0;
      while (j < tmpl.size() && tmpl[j] >= '0' && tmpl[j] <= '9' && j - i <= 9) {
        n = n * 10 + static_cast<size_t>(tmpl[j] - '0');
        ++j;
      }
      if (j > i + 1 && j < tmpl.size() && tmpl[j] == '}' && n >= 1 && n <= argc) {
        out.append(argv[n - 1]);
        i = j + 1;
        continue;
      }
    }
    out.push_back(c);
    ++i;
  }
  return out;
}

}  // namespace lumora::text
