// Splitting the command line into arguments, settling the mode, and writing an
// argument so that the same splitting gives it back.
#include "installer/command_line.h"

namespace lbw {
namespace {

bool is_blank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// Skips the program name: quotes only switch quoting on and off, backslashes
// are ordinary. Returns the position after it and any blanks that follow.
std::size_t skip_program_name(std::wstring_view line) {
  std::size_t i = 0;
  bool quoted = false;
  for (; i < line.size(); ++i) {
    if (line[i] == L'"') {
      quoted = !quoted;
    } else if (is_blank(line[i]) && !quoted) {
      break;
    }
  }
  while (i < line.size() && is_blank(line[i])) ++i;
  return i;
}

}  // namespace

std::vector<std::wstring> arguments_of_command_line(std::wstring_view line) {
  std::vector<std::wstring> arguments;
  std::wstring current;
  bool quoted = false;
  std::size_t i = skip_program_name(line);
  while (i < line.size()) {
    const wchar_t unit = line[i];
    if (unit == L'\\') {
      std::size_t run = 0;
      for (; i < line.size() && line[i] == L'\\'; ++i) ++run;
      if (i < line.size() && line[i] == L'"') {
        current.append(run / 2, L'\\');
        if (run % 2 == 1) {  // an escaped quote; after an even run it acts as a quote below
          current += L'"';
          ++i;
        }
      } else {
        current.append(run, L'\\');
      }
    } else if (unit == L'"' && !quoted) {
      quoted = true;
      ++i;
    } else if (unit == L'"') {
      if (i + 1 == line.size()) {  // a closing quote at the very end: the argument counts
        arguments.push_back(std::move(current));
        return arguments;
      }
      if (line[i + 1] == L'"') {
        current += L'"';
        i += 2;
      } else {
        quoted = false;
        ++i;
      }
    } else if (is_blank(unit) && !quoted) {
      arguments.push_back(std::move(current));
      current.clear();
      while (i < line.size() && is_blank(line[i])) ++i;
    } else {
      current += unit;
      ++i;
    }
  }
  if (!current.empty() || quoted) arguments.push_back(std::move(current));
  return arguments;
}

Invocation settle_invocation(std::vector<std::wstring> arguments) {
  Invocation invocation;
  invocation.update_mode = !arguments.empty() && arguments.front() == kUpdateSwitch;
  if (invocation.update_mode) arguments.erase(arguments.begin());
  invocation.handed_on_arguments = std::move(arguments);
  return invocation;
}

void append_argument(std::wstring& command_line, std::wstring_view argument) {
  const bool quoted = argument.empty() || argument.find_first_of(L" \t") != std::wstring_view::npos;
  if (quoted) command_line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t unit : argument) {
    if (unit == L'\\') {
      ++backslashes;
    } else {
      if (unit == L'"') command_line.append(backslashes + 1, L'\\');
      backslashes = 0;
    }
    command_line += unit;
  }
  if (quoted) {
    command_line.append(backslashes, L'\\');
    command_line += L'"';
  }
}

}  // namespace lbw
