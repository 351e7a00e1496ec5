#include "ScriptReader.h"

#include <cerrno>
#include <cstdlib>

namespace cli {
namespace {

constexpr std::size_t kMaxLine = 4096;
constexpr std::size_t kMaxSteps = 10000;
constexpr unsigned long kMaxSleepMs = 600000;

// Splits off the first blank-separated word of rest.
std::string Word(std::string* rest) {
    std::size_t start = rest->find_first_not_of(" \t");
    if (start == std::string::npos) {
        rest->clear();
        return std::string();
    }
    std::size_t end = rest->find_first_of(" \t", start);
    if (end == std::string::npos) end = rest->size();
    std::string word = rest->substr(start, end - start);
    const std::size_t next = rest->find_first_not_of(" \t", end);
    *rest = next == std::string::npos ? std::string() : rest->substr(next);
    return word;
}

bool Number(const std::string& text, unsigned long long high, unsigned long long* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed > high) return false;
    *value = parsed;
    return true;
}

bool ReadStep(const std::string& line, Step* step, std::string* error) {
    std::string rest = line;
    const std::string command = Word(&rest);
    unsigned long long number = 0;

    if (command == "message" || command == "message-id") {
        step->kind = Step::kMessage;
        step->id = kDefaultMessageId;
        if (command == "message-id") {
            const std::string id = Word(&rest);
            if (!Number(id, 4294967295ULL, &number)) {
                *error = "'" + id + "' is not a message id";
                return false;
            }
            step->id = static_cast<unsigned long>(number);
            if (!CheckMessageId(step->id, false, error)) return false;
        }
        const std::string priority = Word(&rest);
        if (!Number(priority, 1000, &number) || !CheckPriority(static_cast<long>(number), error)) {
            if (error->empty()) *error = "'" + priority + "' is not a priority";
            return false;
        }
        step->priority = static_cast<int>(number);
        step->text = rest;
        return CheckText(step->text, false, error);
    }
    if (command == "binary") {
        step->kind = Step::kBinary;
        step->id = kDefaultBinaryId;
        step->text = rest;
        return CheckText(step->text, true, error);
    }
    if (command == "file") {
        step->kind = Step::kFile;
        step->priority = kDefaultPriority;
        step->text = rest;
        if (!step->text.empty()) return true;
        *error = "file needs a path";
        return false;
    }
    if (command == "sleep") {
        const std::string ms = Word(&rest);
        if (!Number(ms, kMaxSleepMs, &number) || !rest.empty()) {
            *error = "sleep needs milliseconds (0-" + std::to_string(kMaxSleepMs) + ")";
            return false;
        }
        step->kind = Step::kSleep;
        step->ms = static_cast<unsigned long>(number);
        return true;
    }
    if (command == "say") {
        step->kind = Step::kSay;
        step->text = rest;
        return true;
    }
    if (command == "results" || command == "network-type" || command == "wait-drop") {
        if (!rest.empty()) {
            *error = command + " takes no arguments";
            return false;
        }
        step->kind = command == "results"        ? Step::kResults
                     : command == "network-type" ? Step::kNetworkType
                                                 : Step::kWaitDrop;
        return true;
    }
    *error = "unknown step '" + command + "'";
    return false;
}

}  // namespace

bool ReadScript(std::istream& in, std::vector<Step>* steps, std::string* error) {
    std::string line;
    unsigned long number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string where = "line " + std::to_string(number) + ": ";
        if (line.size() > kMaxLine) {
            *error = where + "longer than " + std::to_string(kMaxLine) + " characters";
            return false;
        }
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        if (steps->size() == kMaxSteps) {
            *error = where + "more than " + std::to_string(kMaxSteps) + " steps";
            return false;
        }
        Step step;
        std::string reason;
        if (!ReadStep(line, &step, &reason)) {
            *error = where + reason;
            return false;
        }
        steps->push_back(step);
    }
    return true;
}

}  // namespace cli
