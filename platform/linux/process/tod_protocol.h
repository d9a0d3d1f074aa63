// The lines between the program and a skewmon-tod helper serving requests.
//
//   helper, once at start:  "0 ready" | "0 problem TEXT"
//   program, per query:     "SEQ HEXNAME" | "SEQ HEXNAME whole"
//                           (the server name, hex-coded; "whole": a
//                           whole-second answer comes back unrefined)
//   helper, per query:      "SEQ OFFSET METHOD TRIP RES"
//                           (METHOD: "tod" | "negotiate"; TRIP, RES: the
//                           round trip and the answer's resolution in ms;
//                           without them, both count as 0)
//
// SEQ counts from 1 for each helper, so an answer names the request it
// belongs to. The name travels hex-coded because a name from the network may
// hold any byte, a line end among them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/time_query.h"

namespace skewmon::platform {

// Longer request lines are refused; names longer than the query's
// server-name buffer never reach the helper.
inline constexpr std::size_t kMaxRequestName = 255;
inline constexpr std::size_t kMaxRequestLine = 20 + 1 + 2 * kMaxRequestName + 6;
// Longer answer or hello lines are garbage.
inline constexpr std::size_t kMaxAnswerLine = 300;
// How much of a problem's text travels.
inline constexpr std::size_t kMaxProblemText = 240;

struct TodRequest {
    std::uint64_t sequence = 0;
    std::string serverName;
    bool refine = true;
};

struct TodAnswer {
    std::uint64_t sequence = 0;
    Measurement measured;
};

// Every line ends with '\n'; the parsers take a line without it.
std::string HelloLine(std::string_view problem);
// The problem of a hello line ("" for ready); none when it is no hello line.
std::optional<std::string> ParseHelloLine(std::string_view line);

// None when the name cannot travel (empty, too long, or holding a NUL).
std::optional<std::string> RequestLine(std::uint64_t sequence, std::string_view serverName, bool refine = true);
std::optional<TodRequest> ParseRequestLine(std::string_view line);

std::string AnswerLine(std::uint64_t sequence, const Measurement& measured);
std::optional<TodAnswer> ParseAnswerLine(std::string_view line);

// The helper's reading of its requests: one line at a time from a
// descriptor, never holding more than one line's worth beyond the limit.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    // Reads one line of at most `limit` characters into `line` (without its
    // newline); false at the end of input, on an error or on a longer line.
    bool next(std::string& line, std::size_t limit);

private:
    int fd_;
    std::string buffer_;
};

}  // namespace skewmon::platform
