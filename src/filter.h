#ifndef ROMSEED_FILTER_H_
#define ROMSEED_FILTER_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "io.h"

namespace romseed {

// What the filter pass saw of the UCF.
struct FilterResult {
  std::int64_t copy_count = 0;    // lines written to the output
  std::int64_t delete_count = 0;  // lines left out
  bool crlf = false;              // the UCF's first line ends in CR LF
  bool open_line = false;         // the last kept line has no line end
  bool continued = false;         // ... and ends in a backslash, which would continue it (XDC)
  // Dropped lines that are not INIT statements of the component's own
  // instances (another component's whose name begins with this one, a
  // placement constraint), and the first of them: its line number and start.
  std::int64_t other_count = 0;
  std::int64_t first_other_line = 0;
  std::string first_other;
};

// Sees each line that the filter pass drops: its number, and what follows
// the prefix without the line end; `whole` is false for a line longer than
// any statement, whose tail is then cut.
class DroppedLines {
 public:
  virtual ~DroppedLines() = default;
  virtual void Take(std::int64_t line, std::string_view tail, bool whole) = 0;
};

// Sees each dropped line that is not a statement as this tool writes them
// (another component's, a constraint of the component's instances), whole,
// as the filter meets it: its number, then its bytes in pieces, without the
// line end, then its end.
class OtherLines {
 public:
  virtual ~OtherLines() = default;
  virtual void Begin(std::int64_t line) = 0;
  virtual void Text(std::string_view piece) = 0;
  virtual void End() = 0;
};

// Which of the lines that begin with the prefix a pass drops, and which of
// those are statements as this tool writes them.
class LineRule {
 public:
  virtual ~LineRule() = default;
  // How many bytes after the prefix decide; 0: the prefix alone, and every
  // line that begins with it goes.
  virtual std::size_t look() const = 0;
  // True if the line whose bytes after the prefix begin with `head` goes:
  // look() bytes, or fewer where the line ends first (without its end).
  virtual bool Drops(std::string_view head) const = 0;
  // The longest a statement's tail may be, after the prefix, its carriage
  // return included.
  virtual std::size_t longest() const = 0;
  // True if `tail`, what follows the prefix on a dropped line without its
  // line feed, completes a statement.
  virtual bool IsStatement(std::string_view tail) const = 0;
  // The line feed that ends the statement whose tail begins at `tail`,
  // where longest() + 1 bytes can be read; null if not known to be one.
  virtual const char* TailEnd(const char* tail) const = 0;
};

// A pass over a constraints file's lines, fed its bytes as they are read.
class LinePass {
 public:
  virtual ~LinePass() = default;
  // Takes the `got` bytes just read into `buf`.
  virtual void Take(const unsigned char* buf, std::size_t got) = 0;
  // True once a control character that text never holds was seen.
  virtual bool foreign() const = 0;
  // Ends the pass: the last line may have no line end.
  virtual FilterResult Finish() = 0;
};

// Reads `in` through `pass` to its end, writing to `out`; the read loop of
// FilterUcf and FilterXdc, with their ends.
PassResult RunLinePass(Source& in, Output& out, LinePass& pass, FilterResult* result, OsError* err);

// Copies every line of `ucf` that does not begin with `delstr` to `out`,
// byte for byte, and drops the others. A line is kept or dropped whole,
// whatever its length; a UTF-8 byte-order mark before the first line is
// copied and not part of the line. `delstr` must hold no line feed. Ends as soon as
// reading `ucf` (kCantRead, with `*err` set) or writing to `out` fails, or a
// NUL byte shows that `ucf` is not text; `*result` is set only after a pass
// that ends kOk. Hands each dropped line to `dropped`, and each that is no
// statement to `others`, if given. With a `rule`, only the lines that
// begin with `delstr` and that it drops go; without, all of them, and the
// statements are a component's.
PassResult FilterUcf(Source& ucf, Output& out, std::string_view delstr, FilterResult* result,
                     OsError* err, DroppedLines* dropped = nullptr, OtherLines* others = nullptr,
                     const LineRule* rule = nullptr);

}  // namespace romseed

#endif  // ROMSEED_FILTER_H_
