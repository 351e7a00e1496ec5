#include "FileTransfer.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace cli {
namespace {

constexpr unsigned long kMaxFileBytes = 8ul * 1024 * 1024;
constexpr std::size_t kMaxName = 200;
constexpr unsigned long kPieceLength = 2048;

}  // namespace

bool LoadFile(const std::string& path, FileToSend* file, std::string* error) {
    std::error_code code;
    if (std::filesystem::is_directory(path, code)) {
        *error = "cannot read the file '" + path + "': " + std::strerror(EISDIR);
        return false;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read the file '" + path + "'" +
                 (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) {
        *error = "cannot read the file '" + path + "' (not a regular file?)";
        return false;
    }
    if (static_cast<unsigned long long>(size) > kMaxFileBytes) {
        *error = "the file '" + path + "' has " + std::to_string(size) +
                 " bytes; at most 8 MiB can be sent";
        return false;
    }
    in.seekg(0, std::ios::beg);
    file->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        *error = "reading the file '" + path + "' failed";
        return false;
    }
    file->path = path;
    const std::size_t slash = path.find_last_of('/');
    file->name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (file->name.empty() || file->name.size() > kMaxName) {
        *error = "the file name '" + file->name + "' must have 1 to 200 characters";
        return false;
    }
    for (const char* tag : {"</p>", "<g44>", "</g44>"}) {
        if (file->name.find(tag) != std::string::npos) {
            *error = std::string("the file name may not contain \"") + tag + "\"";
            return false;
        }
    }
    return true;
}

unsigned long ExpectedParts(unsigned long size) {
    // The library counts the Base64 text's terminating zero byte.
    const unsigned long encoded = 4 * ((size + 2) / 3) + 1;
    return (encoded + kPieceLength - 1) / kPieceLength;
}

void BuildTransfer(const FileToSend& file, int priority, NetMessage* message) {
    message->SetId(10);
    message->SetPriority(priority);
    NetParamList params;
    params.AddTail(file.name.c_str(), static_cast<unsigned long>(file.name.size() + 1));
    params.AddTail(file.bytes.data(), static_cast<unsigned long>(file.bytes.size()));
    message->SetParams(params);
}

bool ReadPartText(const std::string& text, unsigned long* index, unsigned long* total) {
    const std::size_t slash = text.rfind('/');
    if (slash == std::string::npos) return false;
    const std::string first = text.substr(0, slash);
    const std::string second = text.substr(slash + 1);
    for (const std::string* digits : {&first, &second}) {
        if (digits->empty() || digits->size() > 9 ||
            digits->find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
    }
    *index = std::stoul(first);
    *total = std::stoul(second);
    return true;
}

bool SameData(const std::string& sent, const std::string& back, std::string* problem) {
    std::string data = back;
    if (!data.empty() && data.back() == '\0') data.pop_back();  // the counted zero byte
    if (data.size() < sent.size()) {
        *problem = "came back with " + std::to_string(data.size()) + " of " +
                   std::to_string(sent.size()) + " bytes";
        return false;
    }
    if (data.size() > sent.size() + 2 ||
        data.find_first_not_of('\0', sent.size()) != std::string::npos) {
        *problem = "came back with " + std::to_string(data.size() - sent.size()) +
                   " unexpected extra bytes";
        return false;
    }
    if (data.compare(0, sent.size(), sent) != 0) {
        std::size_t at = 0;
        while (data[at] == sent[at]) ++at;
        *problem = "came back different from byte " + std::to_string(at) + " on";
        return false;
    }
    return true;
}

}  // namespace cli
