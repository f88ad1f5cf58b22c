// Transcript tests: each case file under tests/system/cases/ (any depth,
// extension .case) is one run of dmsim, and one test named after its path
// (cases/sim/bad-scenario.case is Transcript.sim_bad_scenario). dmsim runs in
// the source root, so relative paths in the arguments (--image) start there.
// New case files are found when system_tests is built again.
//
// A case file is plain text in sections. A section starts with a line that is
// exactly its name and a colon (a one-line section has its value after it):
//
//   # Lines starting with '#' before the first section describe the case.
//   args: --virtual-time -- --no-force-dsc 2
//   scenario:
//   { "driver": { "displays": [] } }
//   stdout:
//   RESULT: no DM display
//   stderr:
//   exit: 2
//   trace:
//   LoadLibraryExW name=nvapi64.dll flags=2048 error=0
//   Release object=IDXGIAdapter#1 refs=0
//   no held kind=localAlloc
//   count 2 LoadLibraryExW name="nvapi64.dll"
//   files:
//   {tmp}/capture/frame-0.png
//
// args      dmsim's arguments, split at blanks; "double quotes" keep blanks.
//           {tmp} stands for a fresh directory of this case (for --capture).
// scenario  optional: JSON written to a file and passed as --scenario FILE
//           before the arguments; without it dmsim uses its default machine.
// stdout    the exact text on standard output: the section's lines, each
// stderr    ending in a newline. A missing or empty section means no output.
//           {tmp} and {scenario} (the scenario file's path) are replaced.
// exit      the exact exit code (required).
// trace     optional expectations on the trace (the runner adds --trace):
//             CALL key=value ...          an event of that call whose fields
//                                         have those values; the lines of this
//                                         form match events in their order (a
//                                         subsequence of the trace)
//             no CALL key=value ...       no event anywhere matches
//             count N CALL key=value ...  exactly N events match
//           A value is compared as JSON when it reads as JSON (2048, true,
//           null, "a b"), else as a string: refs=0 is a number,
//           object=ID3D12Device#1 a string.
// files     optional: paths that the run must have written (non-empty files).
//
// stdout, stderr and the exit code are compared whole, byte for byte; a
// mismatch prints a unified-style diff.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;

struct TraceExpectation {
  enum class Kind { InOrder, Absent, Count };
  Kind kind = Kind::InOrder;
  std::size_t count = 0;
  std::string call;
  std::vector<std::pair<std::string, std::string>> fields;
  std::string text;  // the line, for messages
};

struct Case {
  std::vector<std::string> args;
  std::optional<std::string> scenario;
  std::string stdoutText;
  std::string stderrText;
  std::optional<int> exitCode;
  std::vector<TraceExpectation> trace;
  bool hasTrace = false;
  std::vector<std::string> files;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Splits at blanks; "double quotes" group (and are kept, so that a quoted
// trace value stays a JSON string).
bool SplitWords(const std::string& line, bool keepQuotes, std::vector<std::string>* words,
                std::string* error) {
  words->clear();
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\' && i + 1 < line.size() && keepQuotes) {
        word += c;
        word += line[++i];
      } else if (c == '"') {
        quoted = false;
        if (keepQuotes) word += c;
      } else {
        word += c;
      }
    } else if (c == '"') {
      quoted = true;
      inWord = true;
      if (keepQuotes) word += c;
    } else if (c == ' ' || c == '\t') {
      if (inWord) words->push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) {
    *error = "unterminated quote in: " + line;
    return false;
  }
  if (inWord) words->push_back(word);
  return true;
}

bool ParseTraceLine(const std::string& line, TraceExpectation* out, std::string* error) {
  std::vector<std::string> words;
  if (!SplitWords(line, true, &words, error)) return false;
  out->text = line;
  std::size_t i = 0;
  if (!words.empty() && words[0] == "no") {
    out->kind = TraceExpectation::Kind::Absent;
    i = 1;
  } else if (!words.empty() && words[0] == "count") {
    out->kind = TraceExpectation::Kind::Count;
    if (words.size() < 2 || words[1].find_first_not_of("0123456789") != std::string::npos ||
        words[1].empty()) {
      *error = "count needs a number: " + line;
      return false;
    }
    out->count = std::stoul(words[1]);
    i = 2;
  }
  if (i >= words.size()) {
    *error = "trace line without a call: " + line;
    return false;
  }
  out->call = words[i++];
  for (; i < words.size(); ++i) {
    const std::size_t equals = words[i].find('=');
    if (equals == std::string::npos || equals == 0) {
      *error = "expected key=value, got \"" + words[i] + "\" in: " + line;
      return false;
    }
    out->fields.emplace_back(words[i].substr(0, equals), words[i].substr(equals + 1));
  }
  return true;
}

bool ParseCase(const std::string& text, Case* out, std::string* error) {
  static const std::vector<std::string> kSections = {"args", "scenario", "stdout", "stderr",
                                                     "exit", "trace",    "files"};
  std::map<std::string, std::vector<std::string>> blocks;
  std::map<std::string, std::string> values;
  std::string current;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string header;
    for (const std::string& name : kSections) {
      if (line == name + ":" || line.rfind(name + ": ", 0) == 0) header = name;
    }
    if (!header.empty()) {
      if (blocks.count(header) != 0 || values.count(header) != 0) {
        *error = "section " + header + " appears twice";
        return false;
      }
      const std::string value = line.substr(std::min(line.size(), header.size() + 2));
      if (value.empty()) {
        blocks[header];
        current = header;
      } else {
        values[header] = value;
        current.clear();
      }
      continue;
    }
    if (current.empty()) {
      if (line.empty() || line[0] == '#') continue;
      *error = "text outside a section: " + line;
      return false;
    }
    blocks[current].push_back(line);
  }
  auto joined = [&](const std::string& name) {
    std::string result;
    for (const std::string& line : blocks[name]) result += line + "\n";
    return result;
  };
  for (const char* name : {"scenario", "stdout", "stderr", "trace", "files"}) {
    if (values.count(name) != 0) {
      *error = std::string("section ") + name + " takes its text on the following lines";
      return false;
    }
  }
  for (const char* name : {"args", "exit"}) {
    if (blocks.count(name) != 0 && !blocks[name].empty()) {
      *error = std::string("section ") + name + " takes one line, after its name";
      return false;
    }
  }
  if (values.count("args") != 0 && !SplitWords(values["args"], false, &out->args, error)) {
    return false;
  }
  if (blocks.count("scenario") != 0) out->scenario = joined("scenario");
  out->stdoutText = joined("stdout");
  out->stderrText = joined("stderr");
  if (values.count("exit") == 0) {
    *error = "the case needs an exit: line";
    return false;
  }
  const std::string& exitText = values["exit"];
  if (exitText.empty() || exitText.find_first_not_of("0123456789") != std::string::npos ||
      exitText.size() > 3) {
    *error = "exit: expected a number, got " + exitText;
    return false;
  }
  out->exitCode = std::stoi(exitText);
  out->hasTrace = blocks.count("trace") != 0;
  for (const std::string& line : blocks["trace"]) {
    if (line.empty() || line[0] == '#') continue;
    TraceExpectation expectation;
    if (!ParseTraceLine(line, &expectation, error)) return false;
    out->trace.push_back(expectation);
  }
  for (const std::string& line : blocks["files"]) {
    if (!line.empty()) out->files.push_back(line);
  }
  return true;
}

std::string Substitute(std::string text, const std::string& tmp) {
  for (std::size_t at = text.find("{tmp}"); at != std::string::npos; at = text.find("{tmp}", at)) {
    text.replace(at, 5, tmp);
    at += tmp.size();
  }
  return text;
}

struct RunResult {
  std::string out;
  std::string err;
  int exitCode = -1;
  std::string failure;  // why the run itself could not be made
};

RunResult RunDmsim(const std::vector<std::string>& args, const fs::path& tmp) {
  RunResult result;
  const fs::path outPath = tmp / "stdout";
  const fs::path errPath = tmp / "stderr";
  std::vector<std::string> argv = {DMSIM_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    result.failure = "fork failed";
    return result;
  }
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    if (chdir(SOURCE_ROOT) != 0) _exit(125);
    const int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (outFd < 0 || errFd < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) _exit(125);
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) {
    result.failure = "waitpid failed";
    return result;
  }
  result.out = ReadAll(outPath);
  result.err = ReadAll(errPath);
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.failure = "dmsim was killed by signal " + std::to_string(WTERMSIG(status));
  }
  return result;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "  (no newline at end)");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// A line diff by longest common subsequence: "-" expected only, "+" actual
// only, with up to two lines of context around each change.
std::string Diff(const std::string& expected, const std::string& actual) {
  const std::vector<std::string> a = Lines(expected);
  const std::vector<std::string> b = Lines(actual);
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  if ((n + 1) * (m + 1) > 4'000'000) {
    // Too long for the table: show where the texts part.
    std::size_t first = 0;
    while (first < n && first < m && a[first] == b[first]) ++first;
    std::string out = "--- expected (" + std::to_string(n) + " lines)\n+++ actual (" +
                      std::to_string(m) + " lines)\nfirst difference at line " +
                      std::to_string(first + 1) + "\n";
    for (std::size_t k = first; k < n && k < first + 5; ++k) out += "-" + a[k] + "\n";
    for (std::size_t k = first; k < m && k < first + 5; ++k) out += "+" + b[k] + "\n";
    return out;
  }
  std::vector<std::vector<std::size_t>> lcs(n + 1, std::vector<std::size_t>(m + 1, 0));
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t j = m; j-- > 0;) {
      lcs[i][j] = a[i] == b[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    }
  }
  struct Op {
    char tag;
    std::string line;
  };
  std::vector<Op> ops;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && a[i] == b[j]) {
      ops.push_back({' ', a[i++]});
      ++j;
    } else if (i < n && (j == m || lcs[i + 1][j] >= lcs[i][j + 1])) {
      ops.push_back({'-', a[i++]});
    } else {
      ops.push_back({'+', b[j++]});
    }
  }
  std::string out = "--- expected\n+++ actual\n";
  constexpr std::size_t kContext = 2;
  for (std::size_t k = 0; k < ops.size(); ++k) {
    bool near = false;
    for (std::size_t d = (k >= kContext ? k - kContext : 0); d <= k + kContext && d < ops.size();
         ++d) {
      near = near || ops[d].tag != ' ';
    }
    if (near) {
      out += ops[k].tag;
      out += ops[k].line + "\n";
    } else if (k > 0 && out.size() >= 4 && out.compare(out.size() - 4, 4, "...\n") != 0) {
      out += "...\n";
    }
  }
  return out;
}

bool FieldMatches(const nlohmann::json& event, const std::string& key, const std::string& want) {
  if (!event.contains(key)) return false;
  const nlohmann::json& have = event[key];
  const nlohmann::json parsed = nlohmann::json::parse(want, nullptr, false);
  if (!parsed.is_discarded() && have == parsed) return true;
  return have.is_string() && have.get<std::string>() == want;
}

bool EventMatches(const nlohmann::json& event, const TraceExpectation& expectation) {
  if (event.value("call", "") != expectation.call) return false;
  for (const auto& [key, value] : expectation.fields) {
    if (!FieldMatches(event, key, value)) return false;
  }
  return true;
}

// Checks the trace; returns the failures, one per line.
std::string CheckTrace(const std::vector<nlohmann::json>& events,
                       const std::vector<TraceExpectation>& expectations) {
  std::string failures;
  std::size_t next = 0;
  for (const TraceExpectation& expectation : expectations) {
    switch (expectation.kind) {
      case TraceExpectation::Kind::InOrder: {
        std::size_t at = next;
        while (at < events.size() && !EventMatches(events[at], expectation)) ++at;
        if (at == events.size()) {
          failures += "no event matches, after seq " +
                      (next == 0 ? std::string("(start)") : std::to_string(next - 1)) + ": " +
                      expectation.text + "\n";
        } else {
          next = at + 1;
        }
        break;
      }
      case TraceExpectation::Kind::Absent:
        for (const nlohmann::json& event : events) {
          if (EventMatches(event, expectation)) {
            failures += "unexpected event " + event.dump() + " for: " + expectation.text + "\n";
            break;
          }
        }
        break;
      case TraceExpectation::Kind::Count: {
        const auto found = static_cast<std::size_t>(std::count_if(
            events.begin(), events.end(),
            [&](const nlohmann::json& event) { return EventMatches(event, expectation); }));
        if (found != expectation.count) {
          failures += std::to_string(found) + " events match, not " +
                      std::to_string(expectation.count) + ": " + expectation.text + "\n";
        }
        break;
      }
    }
  }
  return failures;
}

class TranscriptTest : public ::testing::Test {
 public:
  explicit TranscriptTest(fs::path file) : file_(std::move(file)) {}

  void TestBody() override {
    Case c;
    std::string error;
    ASSERT_TRUE(fs::is_regular_file(file_)) << "no case file at " << file_.string();
    ASSERT_TRUE(ParseCase(ReadAll(file_), &c, &error)) << file_.string() << ": " << error;

    char pattern[] = "/tmp/dmcheck-transcript-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path tmp = pattern;
    std::vector<std::string> args;
    if (c.scenario) {
      const fs::path scenarioPath = tmp / "scenario.json";
      std::ofstream(scenarioPath, std::ios::binary) << *c.scenario;
      args.insert(args.end(), {"--scenario", scenarioPath.string()});
    }
    const fs::path tracePath = tmp / "trace.jsonl";
    if (c.hasTrace) args.insert(args.end(), {"--trace", tracePath.string()});
    for (const std::string& arg : c.args) args.push_back(Substitute(arg, tmp.string()));

    const RunResult run = RunDmsim(args, tmp);
    const std::string scenarioPath = (tmp / "scenario.json").string();
    auto expand = [&](const std::string& text) {
      std::string result = Substitute(text, tmp.string());
      for (std::size_t at = result.find("{scenario}"); at != std::string::npos;
           at = result.find("{scenario}", at)) {
        result.replace(at, 10, scenarioPath);
        at += scenarioPath.size();
      }
      return result;
    };
    const std::string expectedOut = expand(c.stdoutText);
    const std::string expectedErr = expand(c.stderrText);
    ASSERT_TRUE(run.failure.empty()) << run.failure << "\nstderr:\n" << run.err;
    EXPECT_EQ(run.exitCode, *c.exitCode) << "exit code; stderr was:\n" << run.err;
    EXPECT_TRUE(run.out == expectedOut) << "standard output differs:\n"
                                        << Diff(expectedOut, run.out);
    EXPECT_TRUE(run.err == expectedErr) << "standard error differs:\n"
                                        << Diff(expectedErr, run.err);
    if (c.hasTrace) {
      std::vector<nlohmann::json> events;
      std::ifstream in(tracePath);
      for (std::string line; std::getline(in, line);) {
        nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(event.is_discarded()) << "trace line is not JSON: " << line;
        events.push_back(std::move(event));
      }
      const std::string failures = CheckTrace(events, c.trace);
      EXPECT_TRUE(failures.empty()) << "trace (" << events.size() << " events):\n" << failures;
    }
    for (const std::string& file : c.files) {
      const fs::path path = Substitute(file, tmp.string());
      std::error_code ec;
      EXPECT_TRUE(fs::is_regular_file(path, ec) && fs::file_size(path, ec) > 0)
          << "the run did not write " << file;
    }
    std::error_code ec;
    fs::remove_all(tmp, ec);
  }

 private:
  fs::path file_;
};

std::string TestName(const fs::path& relative) {
  std::string name = relative.generic_string();
  if (name.size() > 5 && name.compare(name.size() - 5, 5, ".case") == 0) {
    name.resize(name.size() - 5);
  }
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

// Registers one test per case file before RUN_ALL_TESTS.
const bool kRegistered = [] {
  const fs::path root = fs::path(SOURCE_ROOT) / "tests" / "system" / "cases";
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    // A missing directory must not look like a passing suite.
    ::testing::RegisterTest("Transcript", "cases_directory", nullptr, nullptr, __FILE__, __LINE__,
                            [root]() -> ::testing::Test* { return new TranscriptTest(root); });
    return false;
  }
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(root, ec)) {
    if (entry.is_regular_file() && entry.path().extension() == ".case") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    const std::string name = TestName(fs::relative(file, root));
    ::testing::RegisterTest("Transcript", name.c_str(), nullptr, nullptr, file.string().c_str(), 0,
                            [file]() -> ::testing::Test* { return new TranscriptTest(file); });
  }
  return true;
}();

}  // namespace
