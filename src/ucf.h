#ifndef ROMSEED_UCF_H_
#define ROMSEED_UCF_H_

// The UCF's INIT statements, the one place that knows their text:
//   INST "rom00" INIT_0a = <64 hex digits>;
// written, recognised and parsed, and the instance a line constrains.

#include <cstddef>
#include <string>
#include <string_view>
#include <set>
#include <vector>

#include "filter.h"
#include "io.h"

namespace romseed {

// `INST "` and `component`: the start of every line of the component's
// instances, which the three-argument run drops.
std::string DeletionPrefix(std::string_view component);

// The attribute of statement `index` (below 256), INITP_ if `parity`:
// "INIT_0a", or "INIT_0A" if `upper`.
std::string AttributeName(bool parity, std::size_t index, bool upper);

// Writes a constraint file's statements into an Output.
class StatementWriter {
 public:
  virtual ~StatementWriter() = default;
  // The statements from here on are of `instance`, INITP_ ones if
  // `parity`, their index in upper case if `upper`.
  virtual void SetInstance(std::string_view instance, bool parity, bool upper) = 0;
  // Writes statements `first` to `first + n - 1`, their values the 32-byte
  // chunks at `values`, each least significant byte first.
  virtual void Write(Output& out, std::size_t first, std::size_t n, const unsigned char* values) = 0;
};

// Writes UCF statements, the value's digits straight into place.
class UcfWriter : public StatementWriter {
 public:
  // Ends each statement with `eol`.
  explicit UcfWriter(std::string_view eol) : eol_(eol) {}
  void SetInstance(std::string_view instance, bool parity, bool upper) override;
  void Write(Output& out, std::size_t first, std::size_t n, const unsigned char* values) override;

 private:
  std::string eol_, head_;
  std::size_t head_size_ = 0;
  bool parity_ = false;
  const char (*index_)[8] = nullptr;  // the index texts of the case in use
};

// The longest a statement may be after `INST "` and a component's name: a
// 16-digit block number, the rest of an INITP_ statement and a carriage
// return.
std::size_t LongestStatementTail();

// True if `tail`, what follows `INST "` and a component's name on a line
// without its line feed, completes a statement as this tool writes them.
bool IsStatementTail(std::string_view tail);

// The line feed that ends the statement whose tail (as above) begins at
// `tail`, where LongestStatementTail() + 1 bytes can be read; else null, and
// the line is not known to be one.
const char* StatementTailEnd(const char* tail);

// A statement as a UCF holds it.
struct UcfStatement {
  std::string_view instance;
  bool parity = false;  // INITP_ rather than INIT_
  std::size_t index = 0;
  unsigned char value[32];  // value[0] is its least significant byte, the last two digits
};

// True if `line` (without its line end) is a statement: `INST "`, the
// instance, `" INIT_` or `" INITP_`, two hex digits, ` = `, 64 hex digits and
// `;`, the hex digits in either case. `s->instance` points into `line`.
bool ParseStatement(std::string_view line, UcfStatement* s);

// The lines of a layout's instances that a layout run drops: `INST "`, an
// instance's name and its closing quote, a blank and INIT_ or INITP_.
class InstanceStatements : public LineRule {
 public:
  explicit InstanceStatements(std::vector<std::string> instances);
  std::size_t look() const override { return look_; }
  bool Drops(std::string_view head) const override;
  std::size_t longest() const override;
  bool IsStatement(std::string_view tail) const override;
  const char* TailEnd(const char*) const override { return nullptr; }

 private:
  std::set<std::string, std::less<>> instances_;
  std::size_t look_ = 0;
};

}  // namespace romseed

#endif  // ROMSEED_UCF_H_
