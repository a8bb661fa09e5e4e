#pragma once
// Writing a file so that a reader never sees it half-written: the bytes go to
// a fresh temporary file beside it first, which is then put into place in one
// step. Paths are UTF-8.
#include <string>
#include <string_view>

namespace lumora::relay {

enum class PublishResult { written, already_present, failed };

// Creates the file at path holding bytes unless a file is there already; an
// existing file is never replaced, even one that appears while this runs.
// Readers find either no file or the whole of it. No fsync: the file is a
// hand-off to a local reader, not a record that must survive a crash.
PublishResult publish_new_file(const std::string& path, std::string_view bytes);

// Writes the file anew with bytes, replacing what is there in one step.
bool replace_file(const std::string& path, std::string_view bytes);

// The whole content of a file; empty when it cannot be read.
std::string read_whole_file(const std::string& path);

}  // namespace lumora::relay
