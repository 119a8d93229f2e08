#include "dump/PacketFramer.h"

#include <algorithm>
#include <cstring>

#include "vita49/PacketLayout.h"

namespace vita49::capture {

namespace {

// The header as the library defines it; each needs the bytes it reads (1 for the type, 4 for
// the size, 8 for the stream identifier word).
std::uint8_t TypeOf(const std::uint8_t* p) { return HeaderType(p); }
std::uint32_t SizeOf(const std::uint8_t* p) { return HeaderPacketBytes(p); }
bool HasStreamId(std::uint8_t type) { return TypeHasStreamId(type); }
std::uint32_t Be32(const std::uint8_t* p) { return load_be32(p); }

UnusableBytes Make(Unusable reason, const std::uint8_t* bytes, std::size_t size) {
    UnusableBytes u;
    u.reason = reason;
    u.head = bytes;
    u.headSize = std::min(size, kHeadBytes);
    u.size = size;
    if (size >= 4) {
        u.type = TypeOf(bytes);
        u.declared = SizeOf(bytes);
    }
    return u;
}

} // namespace

const char* const StreamFramer::kBeforeFirst = "before the first packet of the stream";

std::string Describe(const UnusableBytes& u) {
    const std::string n = std::to_string(u.size);
    switch (u.reason) {
    case Unusable::kNoHeader:
        return u.size == 0 ? "empty datagram" : n + " bytes left in the datagram, too few for a packet header";
    case Unusable::kReservedType:
        return "packet type " + std::to_string(u.type) + " is reserved: not a VITA 49 packet (" + n + " bytes)";
    case Unusable::kZeroSize:
        return "packet size field is 0 (" + n + " bytes)";
    case Unusable::kSizeBeyond:
        return "packet size field says " + std::to_string(u.declared) + " bytes, the datagram holds " + n;
    case Unusable::kSkipped:
        return n + " bytes that start no packet, skipped (" + u.why + ")";
    case Unusable::kCutByGap:
        if (u.size < 8) return "a gap in the stream follows " + n + " bytes, too few for a packet header";
        return "packet cut by a gap in the stream: " + n + " of " + std::to_string(u.declared) + " bytes";
    case Unusable::kUnfinished:
        if (u.size < 8) return "the stream ends with " + n + " bytes, too few for a packet header";
        return "the stream ends inside a packet: " + n + " of " + std::to_string(u.declared) + " bytes";
    }
    return n + " bytes";
}

void CutDatagram(const std::uint8_t* bytes, std::size_t size, FrameHandler& handler) {
    std::size_t pos = 0;
    do {
        const std::uint8_t* at = bytes + pos;
        const std::size_t avail = size - pos;
        if (avail < 4) {
            handler.OnUnusable(Make(Unusable::kNoHeader, at, avail));
            return;
        }
        const std::uint32_t length = SizeOf(at);
        if (TypeOf(at) >= 8) {
            handler.OnUnusable(Make(Unusable::kReservedType, at, avail));
            return;
        }
        if (length == 0) {
            handler.OnUnusable(Make(Unusable::kZeroSize, at, avail));
            return;
        }
        if (length > avail) {
            handler.OnUnusable(Make(Unusable::kSizeBeyond, at, avail));
            return;
        }
        handler.OnPacket(at, length);
        pos += length;
    } while (pos < size);
}

bool StreamFramer::Acceptable(const std::uint8_t* at) const {
    const std::uint32_t length = SizeOf(at);
    return HasStreamId(TypeOf(at)) && length >= 8 && length <= kMaxStreamPacket;
}

bool StreamFramer::Plausible(const std::uint8_t* at) const {
    if (!Acceptable(at)) return false;
    if (knownCount_ == 0) return true;
    const std::uint32_t id = Be32(at + 4);
    return std::find(knownIds_, knownIds_ + knownCount_, id) != knownIds_ + knownCount_;
}

bool StreamFramer::MayBecomePlausible(const std::uint8_t* at, std::size_t count) const {
    if (count >= 8) return Plausible(at);
    if (!HasStreamId(TypeOf(at))) return false;
    if (count >= 4 && (SizeOf(at) < 8 || SizeOf(at) > kMaxStreamPacket)) return false;
    if (knownCount_ == 0 || count <= 4) return true;
    // Compare the stream identifier bytes present with those of every known identifier.
    for (std::size_t k = 0; k < knownCount_; ++k) {
        const std::uint8_t id[4] = {static_cast<std::uint8_t>(knownIds_[k] >> 24),
                                    static_cast<std::uint8_t>(knownIds_[k] >> 16),
                                    static_cast<std::uint8_t>(knownIds_[k] >> 8),
                                    static_cast<std::uint8_t>(knownIds_[k])};
        if (std::memcmp(at + 4, id, count - 4) == 0) return true;
    }
    return false;
}

void StreamFramer::Learn(std::uint32_t streamId) {
    if (std::find(knownIds_, knownIds_ + knownCount_, streamId) != knownIds_ + knownCount_) return;
    if (knownCount_ < kMaxKnownIds) knownIds_[knownCount_++] = streamId;
}

void StreamFramer::StartSkipping(const std::string& why) {
    outOfStep_ = true;
    rescanAt_ = 0;
    if (skipped_ == 0) skipWhy_ = why;
}

void StreamFramer::Skip(const std::uint8_t* bytes, std::size_t size) {
    const std::size_t copy = std::min(size, kHeadBytes - skippedHeadSize_);
    std::memcpy(skippedHead_ + skippedHeadSize_, bytes, copy);
    skippedHeadSize_ += copy;
    skipped_ += size;
}

void StreamFramer::FlushSkipped(FrameHandler& handler) {
    if (skipped_ > 0) {
        UnusableBytes u;
        u.reason = Unusable::kSkipped;
        u.head = skippedHead_;
        u.headSize = skippedHeadSize_;
        u.size = skipped_;
        u.why = skipWhy_;
        handler.OnUnusable(u);
    }
    skipped_ = 0;
    skippedHeadSize_ = 0;
    skipWhy_.clear();
}

std::size_t StreamFramer::FindStart(const std::uint8_t* bytes, std::size_t from, std::size_t size,
                                    bool& undecided) const {
    undecided = false;
    std::size_t firstUndecided = size;
    for (std::size_t start = from; start + 8 <= size; ++start) {
        if (!Plausible(bytes + start)) continue;
        if (knownCount_ > 0) return start;
        // No stream is known yet: the next header must be one of the same stream. A start
        // that cannot be judged yet yields to a later one that can be confirmed, since a
        // false start may announce up to 64 KiB and so hold everything up.
        const std::size_t next = start + SizeOf(bytes + start);
        if (next + 8 > size) {
            if (firstUndecided == size) firstUndecided = start;
            continue;
        }
        if (Acceptable(bytes + next) && Be32(bytes + next + 4) == Be32(bytes + start + 4)) return start;
    }
    undecided = firstUndecided < size && !final_;
    return firstUndecided;
}

std::size_t StreamFramer::Cut(const std::uint8_t* bytes, std::size_t size, FrameHandler& handler) {
    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t* at = bytes + pos;
        const std::size_t avail = size - pos;
        if (outOfStep_) {
            // A start that could not be judged is looked at again once the bytes held have
            // doubled, not at every arrival: the scans then cost as much as the bytes.
            if (pos == 0 && size < rescanAt_ && !final_) return 0;
            bool undecided = false;
            std::size_t start = FindStart(bytes, pos, size, undecided);
            rescanAt_ = undecided ? 2 * (size - start) : 0;
            if (start < size && !undecided) {
                Skip(at, start - pos);
                FlushSkipped(handler);
                outOfStep_ = false;
                pos = start;
                continue;
            }
            // Keep what may still turn into a packet start once more bytes arrive.
            if (start == size) start = size >= 7 && size - 7 > pos ? size - 7 : pos;
            while (!undecided && start < size && !MayBecomePlausible(bytes + start, size - start)) ++start;
            Skip(at, start - pos);
            return start;
        }
        if (avail < 8) return pos;
        if (!Acceptable(at)) {
            const std::uint32_t length = SizeOf(at);
            StartSkipping(!HasStreamId(TypeOf(at)) ? "a header of packet type " + std::to_string(TypeOf(at))
                                                   : "a header announcing " + std::to_string(length) + " bytes");
            continue;
        }
        const std::uint32_t length = SizeOf(at);
        if (length > avail) return pos;
        Learn(Be32(at + 4));
        handler.OnPacket(at, length);
        pos += length;
    }
    return pos;
}

void StreamFramer::Push(const std::uint8_t* bytes, std::size_t size, FrameHandler& handler) {
    if (held_.empty()) {
        const std::size_t used = Cut(bytes, size, handler);
        held_.assign(bytes + used, bytes + size);
        return;
    }
    held_.insert(held_.end(), bytes, bytes + size);
    const std::size_t used = Cut(held_.data(), held_.size(), handler);
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(used));
}

void StreamFramer::Gap(FrameHandler& handler) {
    if (!held_.empty()) {
        if (outOfStep_) {
            Skip(held_.data(), held_.size());
        } else {
            handler.OnUnusable(Make(Unusable::kCutByGap, held_.data(), held_.size()));
        }
    }
    held_.clear();
    FlushSkipped(handler);
    outOfStep_ = true;
    rescanAt_ = 0;
    skipWhy_ = "after a gap in the stream";
}

void StreamFramer::End(FrameHandler& handler) {
    if (!held_.empty() && outOfStep_) {
        // Nothing more will come to confirm a packet start: take the last ones as they are.
        final_ = true;
        const std::size_t used = Cut(held_.data(), held_.size(), handler);
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(used));
        final_ = false;
    }
    if (!held_.empty()) {
        if (outOfStep_) {
            Skip(held_.data(), held_.size());
        } else {
            handler.OnUnusable(Make(Unusable::kUnfinished, held_.data(), held_.size()));
        }
    }
    FlushSkipped(handler);
    held_.clear();
    held_.shrink_to_fit();
    outOfStep_ = true;
    rescanAt_ = 0;
    skipWhy_ = kBeforeFirst;
    knownCount_ = 0;
}

} // namespace vita49::capture
