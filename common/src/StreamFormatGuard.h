#pragma once

#include <ios>
#include <locale>
#include <ostream>

namespace zelto {

//! Keeps the host's format of a stream: whatever the libraries print with their own number
//! format (report, progress line), the host's later output looks as the host set it up. While
//! alive the stream uses the classic locale ("." as decimal point, no digit grouping).
class StreamFormatGuard {
 public:
  explicit StreamFormatGuard(std::ostream& stream)
      : stream_(stream),
        flags_(stream.flags()),
        precision_(stream.precision()),
        fill_(stream.fill()),
        locale_(stream.imbue(std::locale::classic())) {}
  ~StreamFormatGuard() {
    stream_.imbue(locale_);
    stream_.flags(flags_);
    stream_.precision(precision_);
    stream_.fill(fill_);
  }
  StreamFormatGuard(const StreamFormatGuard&) = delete;
  StreamFormatGuard& operator=(const StreamFormatGuard&) = delete;

 private:
  std::ostream& stream_;
  std::ios_base::fmtflags flags_;
  std::streamsize precision_;
  char fill_;
  std::locale locale_;
};

}  // namespace zelto
