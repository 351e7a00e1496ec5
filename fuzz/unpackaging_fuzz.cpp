// UnPackageAndSetToInputQueue on any sequence of received messages: the
// Base64 data of ids 9 and 300 to 399, the numbered parts of ids 8 and 10,
// and whatever else arrives. With the parts queue's usual bounds, what the
// handler gets is compared with a model written here from the rules (a part
// again replaces the earlier copy, a transfer is whole when all its part
// numbers are there, pieces are joined by part number, text that is not
// Base64 is dropped). With small bounds only the bounds and the packages'
// soundness are checked.
//
// Input: byte 0 picks the bounds (bits 0 and 1: 0 usual, 1 three parts,
// 2 3000 bytes, 3 one part). The rest is one message per line: "<g44>", the
// line and "</g44>" are parsed as a received frame.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "message/Frame.h"

namespace {

bool InAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '+' || c == '/';
}

int SixBits(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    return c == '+' ? 62 : 63;
}

// Strict Base64: the alphabet, then at most two "=" that complete a group of
// four; no lone last character. false when the text is not that.
bool DecodeStrict(const std::string& text, std::string* out) {
    std::size_t end = text.size();
    std::size_t pads = 0;
    while (end > 0 && text[end - 1] == '=') {
        --end;
        ++pads;
    }
    if (pads > 2 || (pads > 0 && text.size() % 4 != 0) || end % 4 == 1) return false;
    out->clear();
    unsigned bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < end; ++i) {
        if (!InAlphabet(text[i])) return false;
        bits = (bits << 6) | static_cast<unsigned>(SixBits(text[i]));
        held += 6;
        if (held >= 8) {
            held -= 8;
            out->push_back(static_cast<char>((bits >> held) & 0xFF));
        }
    }
    return true;
}

bool Digits(const std::string& s) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool PartText(const std::string& text, int* part, int* total) {
    const std::size_t slash = text.rfind('/');
    if (slash == std::string::npos) return false;
    const std::string left = text.substr(0, slash);
    const std::string right = text.substr(slash + 1);
    if (!Digits(left) || !Digits(right)) return false;
    *part = std::stoi(left);
    *total = std::stoi(right);
    return *part >= 1 && *part <= *total;
}

std::string WithZero(const std::string& text) { return text + std::string(1, '\0'); }

std::size_t StoredSize(const NetMessage& m) {
    std::size_t n = 0;
    for (unsigned long i = 0; i < m.GetParams().GetCount(); ++i) {
        n += fuzz::StoredBytes(m, static_cast<int>(i)).size();
    }
    return n;
}

struct Key {
    unsigned long id;
    std::string name;
    int total;
    bool operator<(const Key& o) const {
        if (id != o.id) return id < o.id;
        if (total != o.total) return total < o.total;
        return name < o.name;
    }
};

// What the handler should be given for one message, and whether the
// response event should be set.
struct Model {
    std::size_t maxCount = 0;
    std::size_t maxBytes = 0;
    std::map<Key, std::map<int, std::string>> transfers;

    std::vector<fuzz::Delivered> Feed(const NetMessage& m, bool* response) {
        std::vector<fuzz::Delivered> out;
        *response = false;
        const unsigned long id = m.GetId();
        const unsigned long count = m.GetParams().GetCount();
        fuzz::Delivered d;
        d.kind = NetPackage::KIND_MESSAGE;
        d.id = id;
        if ((id >= 300 && id <= 399) || id == 9) {
            std::string data;
            if (!DecodeStrict(fuzz::TextOf(m, id == 9 ? 3 : 0), &data)) return out;
            if (id == 9) {
                for (int k = 0; k < 3; ++k) d.params.push_back(WithZero(fuzz::TextOf(m, k)));
                d.params.push_back(data);
            } else {
                d.params.push_back(WithZero(data));
                for (unsigned long k = 1; k < count; ++k) {
                    d.params.push_back(WithZero(fuzz::TextOf(m, static_cast<int>(k))));
                }
            }
            out.push_back(d);
            return out;
        }
        if (id != 8 && id != 10) {
            for (unsigned long k = 0; k < count; ++k) {
                d.params.push_back(fuzz::StoredBytes(m, static_cast<int>(k)));
            }
            out.push_back(d);
            return out;
        }
        const int base = id == 10 ? 0 : 1;
        if (count < static_cast<unsigned long>(base + 3)) return out;
        int part = 0;
        int total = 0;
        const std::string partText = fuzz::TextOf(m, base + 1);
        if (!PartText(partText, &part, &total)) return out;
        const std::string piece = fuzz::TextOf(m, base + 2);
        if (piece.size() > 2500) return out;
        if (id == 8 && part == 1) *response = true;
        if (static_cast<std::size_t>(total) > maxCount || StoredSize(m) > maxBytes) return out;

        const Key key{id, fuzz::TextOf(m, base), total};
        std::map<int, std::string>& parts = transfers[key];
        parts[part] = piece;
        if (parts.size() < static_cast<std::size_t>(total)) {
            fuzz::Delivered progress;
            progress.kind = NetPackage::KIND_INFORMATION;
            progress.code = 3;
            progress.value1 = part;
            progress.value2 = total;
            out.push_back(progress);
            return out;
        }
        std::string joined;
        for (const auto& p : parts) joined += p.second;
        transfers.erase(key);
        std::string data;
        if (!DecodeStrict(joined, &data)) return out;
        if (id == 8) d.params.push_back(WithZero(fuzz::TextOf(m, 0)));
        d.params.push_back(WithZero(key.name));
        d.params.push_back(WithZero(partText));
        d.params.push_back(WithZero(data));
        out.push_back(d);
        return out;
    }

    std::size_t Held() const {
        std::size_t n = 0;
        for (const auto& t : transfers) n += t.second.size();
        return n;
    }
};

bool Same(const fuzz::Delivered& a, const fuzz::Delivered& b) {
    return a.kind == b.kind && a.id == b.id && a.code == b.code && a.value1 == b.value1 &&
           a.value2 == b.value2 && a.params == b.params;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int bounds = data[0] & 3;
    fuzz::Packages().clear();
    fuzz::FuzzPlatform platform;
    fuzz::FuzzClient client(platform);
    client.CreateRunObjects();
    transport::ClientInternals& internals = *client.m_pInternals;
    if (bounds == 1) internals.partsMaxCount = 3;
    if (bounds == 2) internals.partsMaxBytes = 3000;
    if (bounds == 3) internals.partsMaxCount = 1;

    Model model;
    model.maxCount = internals.partsMaxCount;
    model.maxBytes = internals.partsMaxBytes;
    const bool exact = bounds == 0;

    for (const std::string& line : fuzz::Split(data + 1, size - 1, '\n')) {
        const std::string frame = "<g44>" + line + "</g44>";
        NetMessage message;
        if (!transport::ParseFrame(message, frame.c_str())) continue;

        const std::size_t before = fuzz::Packages().size();
        client.UnPackageAndSetToInputQueue(&message);
        const bool responded = client.TakeResponse();
        fuzz::Check(client.m_pPartsQueue->GetItemCount() <= static_cast<int>(internals.partsMaxCount),
                    "the parts queue outgrew its bound");
        fuzz::Check(client.m_pInputQueue->GetItemCount() == 0, "unpackaging queued input");

        const std::vector<fuzz::Delivered> got(fuzz::Packages().begin() + static_cast<long>(before),
                                               fuzz::Packages().end());
        for (const fuzz::Delivered& d : got) {
            if (d.kind == NetPackage::KIND_INFORMATION) {
                fuzz::Check(d.code == 3 && d.value1 >= 1 && d.value1 <= d.value2,
                            "progress outside 1..total");
            }
        }
        if (!exact) continue;
        bool response = false;
        const std::vector<fuzz::Delivered> expected = model.Feed(message, &response);
        fuzz::Check(got.size() == expected.size(), "another number of packages than the model's");
        for (std::size_t i = 0; i < got.size(); ++i) {
            fuzz::Check(Same(got[i], expected[i]), "another package than the model's");
        }
        fuzz::Check(responded == response, "the response event disagrees with the model");
        fuzz::Check(static_cast<std::size_t>(client.m_pPartsQueue->GetItemCount()) == model.Held(),
                    "the parts queue holds another number of parts than the model");
    }
    return 0;
}
