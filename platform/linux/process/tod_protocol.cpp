#include "platform/linux/process/tod_protocol.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace skewmon::platform {
namespace {

constexpr char kHex[] = "0123456789abcdef";
// Ends a request whose whole-second answer the program refines itself.
constexpr std::string_view kUnrefinedFlag = " whole";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A whole field as a number: digits only (a leading '-' where signed), no
// sign, blank or leading '+' of any other kind.
template <typename Number>
std::optional<Number> WholeNumber(std::string_view field) {
    if (field.empty() || field.front() == '+') return std::nullopt;
    Number value{};
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size()) return std::nullopt;
    return value;
}

// Splits off the text up to the first blank.
std::string_view TakeField(std::string_view& line) {
    const auto blank = line.find(' ');
    const std::string_view field = line.substr(0, blank);
    line.remove_prefix(blank == std::string_view::npos ? line.size() : blank + 1);
    return field;
}

}  // namespace

std::string HelloLine(std::string_view problem) {
    if (problem.empty()) return "0 ready\n";
    std::string line = "0 problem ";
    for (char c : problem.substr(0, kMaxProblemText))
        line.push_back(c >= 0x20 && c < 0x7f ? c : '?');  // one line of plain text, whatever Samba said
    line.push_back('\n');
    return line;
}

std::optional<std::string> ParseHelloLine(std::string_view line) {
    if (line == "0 ready") return std::string();
    constexpr std::string_view kProblem = "0 problem ";
    if (line.size() <= kProblem.size() || line.substr(0, kProblem.size()) != kProblem) return std::nullopt;
    line.remove_prefix(kProblem.size());
    if (line.size() > kMaxProblemText) return std::nullopt;
    for (char c : line)
        if (c < 0x20 || c >= 0x7f) return std::nullopt;
    return std::string(line);
}

std::optional<std::string> RequestLine(std::uint64_t sequence, std::string_view serverName, bool refine) {
    if (sequence == 0 || serverName.empty() || serverName.size() > kMaxRequestName) return std::nullopt;
    if (serverName.find('\0') != std::string_view::npos) return std::nullopt;
    std::string line = std::to_string(sequence);
    line.push_back(' ');
    for (unsigned char c : serverName) {
        line.push_back(kHex[c >> 4]);
        line.push_back(kHex[c & 15]);
    }
    if (!refine) line.append(kUnrefinedFlag);
    line.push_back('\n');
    return line;
}

std::optional<TodRequest> ParseRequestLine(std::string_view line) {
    if (line.size() > kMaxRequestLine) return std::nullopt;
    const auto sequence = WholeNumber<std::uint64_t>(TakeField(line));
    if (!sequence || *sequence == 0) return std::nullopt;
    bool refine = true;
    if (line.ends_with(kUnrefinedFlag)) {
        line.remove_suffix(kUnrefinedFlag.size());
        refine = false;
    }
    if (line.empty() || line.size() % 2 != 0 || line.size() > 2 * kMaxRequestName) return std::nullopt;
    TodRequest request{*sequence, {}, refine};
    for (std::size_t i = 0; i < line.size(); i += 2) {
        const int high = HexValue(line[i]), low = HexValue(line[i + 1]);
        if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
        request.serverName.push_back(static_cast<char>(high * 16 + low));
    }
    return request;
}

std::string AnswerLine(std::uint64_t sequence, const Measurement& measured) {
    return std::to_string(sequence) + ' ' + std::to_string(measured.offset) + ' ' +
           (measured.method == MeasurementMethod::kNegotiate ? "negotiate" : "tod") + ' ' +
           std::to_string(measured.roundTripMs) + ' ' + std::to_string(measured.resolutionMs) + '\n';
}

std::optional<TodAnswer> ParseAnswerLine(std::string_view line) {
    if (line.size() > kMaxAnswerLine) return std::nullopt;
    const auto sequence = WholeNumber<std::uint64_t>(TakeField(line));
    const auto offset = WholeNumber<Offset>(TakeField(line));
    if (!sequence || *sequence == 0 || !offset) return std::nullopt;
    // An offset no measurement gives is garbage, whose magnitude a row or
    // the scan's figures might not even hold.
    if (*offset != kNoResponse && (*offset > kLargestOffset || *offset < -kLargestOffset)) return std::nullopt;
    TodAnswer answer{*sequence, {*offset, MeasurementMethod::kTimeOfDay}};
    const bool timed = line.find(' ') != std::string_view::npos;
    const std::string_view method = TakeField(line);
    if (method == "negotiate")
        answer.measured.method = MeasurementMethod::kNegotiate;
    else if (method != "tod")
        return std::nullopt;
    if (!timed) return answer;  // a helper that does not time its answers
    const auto roundTrip = WholeNumber<std::uint32_t>(TakeField(line));
    const auto resolution = WholeNumber<std::uint32_t>(line);
    if (!roundTrip || !resolution) return std::nullopt;
    answer.measured.roundTripMs = *roundTrip;
    answer.measured.resolutionMs = *resolution;
    return answer;
}

bool LineReader::next(std::string& line, std::size_t limit) {
    for (;;) {
        if (const auto end = buffer_.find('\n'); end != std::string::npos) {
            line.assign(buffer_, 0, end);
            buffer_.erase(0, end + 1);
            return line.size() <= limit;
        }
        if (buffer_.size() > limit) return false;
        char chunk[512];
        const ssize_t got = read(fd_, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }
}

}  // namespace skewmon::platform
