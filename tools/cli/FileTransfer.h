#ifndef TRANSPORT_TOOLS_CLI_FILE_TRANSFER_H
#define TRANSPORT_TOOLS_CLI_FILE_TRANSFER_H

#include <string>

#include <transport/NetClient.h>

namespace cli {

// A file to send as a multi-part transfer (id 10: parameter 0 the name,
// parameter 1 the bytes; the library cuts it into parts of 2048 Base64
// characters).
struct FileToSend {
    std::string path;
    std::string name;   // the path's last component: what the server sees
    std::string bytes;
};

// Reads the file; false with a reason when it cannot be read, is larger than
// 8 MiB, or its name cannot travel in a frame.
bool LoadFile(const std::string& path, FileToSend* file, std::string* error);

// The number of parts the library makes of size bytes.
unsigned long ExpectedParts(unsigned long size);

void BuildTransfer(const FileToSend& file, int priority, NetMessage* message);

// "i/n" read at its last "/"; false when it is not two numbers.
bool ReadPartText(const std::string& text, unsigned long* index, unsigned long* total);

// Compares the data that came back (the data parameter of the last part's
// message, its counted zero byte included) with what was sent. Base64
// decoding keeps the padding as up to two zero bytes, which are allowed.
bool SameData(const std::string& sent, const std::string& back, std::string* problem);

}  // namespace cli

#endif
