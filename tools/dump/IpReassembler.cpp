#include "dump/IpReassembler.h"

#include <algorithm>
#include <cstring>

namespace vita49::capture {

namespace {

// The largest payload an IP datagram without jumbo options can have.
constexpr std::uint32_t kMaxDatagram = 65535;

} // namespace

std::size_t FragmentKeyHash::operator()(const FragmentKey& key) const {
    // FNV-1a over the fields that tell datagrams apart.
    std::uint64_t h = 1469598103934665603ull;
    auto mix = [&h](const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    };
    mix(key.src.bytes, sizeof key.src.bytes);
    mix(key.dst.bytes, sizeof key.dst.bytes);
    const std::uint8_t rest[6] = {key.src.family, key.protocol, static_cast<std::uint8_t>(key.id >> 24),
                                  static_cast<std::uint8_t>(key.id >> 16), static_cast<std::uint8_t>(key.id >> 8),
                                  static_cast<std::uint8_t>(key.id)};
    mix(rest, sizeof rest);
    return static_cast<std::size_t>(h);
}

IpReassembler::IpReassembler(const ReassemblyLimits& limits, AbandonHandler onAbandoned)
    : limits_(limits), onAbandoned_(std::move(onAbandoned)) {}

IpReassembler::Outcome IpReassembler::Reject(const std::string& why, bool withDatagram) {
    why_ = why;
    rejectedWithDatagram_ = withDatagram;
    return Outcome::kRejected;
}

IpReassembler::Outcome IpReassembler::Add(const FragmentKey& key, const Fragment& fragment, double time) {
    const std::uint64_t end = std::uint64_t{fragment.offset} + fragment.size;
    if (end > kMaxDatagram) return Reject("fragment ends beyond 65,535 bytes", false);
    if (fragment.more && (fragment.size == 0 || fragment.size % 8 != 0))
        return Reject("a fragment before the last must hold a multiple of 8 bytes", false);

    Expire(time);
    const EntryList::iterator entry = Find(key, time);
    if (!Fits(*entry, fragment)) {
        Abandon(entry, "fragments contradict each other");
        return Reject(why_, true);
    }
    if (!Grow(entry, static_cast<std::uint32_t>(end))) {
        Abandon(entry, "reassembly memory limit reached");
        return Reject("reassembly memory limit reached", true);
    }
    if (!fragment.more) {
        entry->total = static_cast<std::uint32_t>(end);
        entry->totalKnown = true;
    }
    if (Merge(*entry, fragment)) entry->differed = true;
    if (entry->totalKnown && entry->received == entry->total) {
        done_.swap(entry->data);
        done_.resize(entry->total);
        completedWithConflict_ = entry->differed;
        Erase(entry);
        return Outcome::kComplete;
    }
    return Outcome::kPending;
}

IpReassembler::EntryList::iterator IpReassembler::Find(const FragmentKey& key, double time) {
    const auto found = index_.find(key);
    if (found != index_.end()) return found->second;
    while (!order_.empty() && index_.size() >= limits_.maxPendingDatagrams)
        Abandon(order_.begin(), "too many datagrams waiting for fragments");
    order_.emplace_back();
    const EntryList::iterator entry = std::prev(order_.end());
    entry->key = key;
    entry->firstTime = time;
    index_.emplace(key, entry);
    return entry;
}

bool IpReassembler::Fits(const Entry& entry, const Fragment& fragment) {
    const std::uint32_t end = fragment.offset + static_cast<std::uint32_t>(fragment.size);
    const std::uint32_t highest = entry.have.empty() ? 0 : entry.have.back().second;
    if (!fragment.more) {
        if (entry.totalKnown && entry.total != end) {
            why_ = "two last fragments end at different offsets";
            return false;
        }
        if (highest > end) {
            why_ = "the last fragment ends before bytes already received";
            return false;
        }
    } else if (entry.totalKnown && end > entry.total) {
        why_ = "a fragment reaches beyond the end given by the last fragment";
        return false;
    }
    return true;
}

bool IpReassembler::Grow(EntryList::iterator entry, std::uint32_t end) {
    if (end <= entry->data.size()) return true;
    const std::size_t before = entry->accounted;
    std::size_t wanted = before;
    if (end > wanted) wanted = std::min<std::size_t>(kMaxDatagram, std::max<std::size_t>(end, 2 * wanted));
    // Make room by giving up the oldest other datagrams.
    while (bytes_ - before + wanted > limits_.maxPendingFragmentBytes) {
        EntryList::iterator oldest = order_.begin();
        if (oldest == entry) ++oldest;
        if (oldest == order_.end()) return false;
        Abandon(oldest, "reassembly memory limit reached");
    }
    entry->data.reserve(wanted);
    entry->data.resize(end);
    entry->accounted = entry->data.capacity();
    bytes_ = bytes_ - before + entry->accounted;
    return true;
}

bool IpReassembler::Merge(Entry& entry, const Fragment& fragment) {
    auto& have = entry.have;
    const std::uint32_t begin = fragment.offset;
    const std::uint32_t end = begin + static_cast<std::uint32_t>(fragment.size);
    auto copy = [&](std::uint32_t from, std::uint32_t to) {
        std::memcpy(entry.data.data() + from, fragment.bytes + (from - begin), to - from);
        entry.received += to - from;
    };
    // Walk the held ranges from the first that ends after `begin`: copy into the holes,
    // compare where the fragment overlaps what is held.
    bool differed = false;
    std::uint32_t at = begin;
    auto it = std::partition_point(have.begin(), have.end(), [at](const auto& r) { return r.second <= at; });
    while (at < end) {
        if (it == have.end() || it->first >= end) {
            copy(at, end);
            break;
        }
        if (it->first > at) {
            copy(at, it->first);
            at = it->first;
        }
        const std::uint32_t overlapEnd = std::min(end, it->second);
        if (std::memcmp(entry.data.data() + at, fragment.bytes + (at - begin), overlapEnd - at) != 0) differed = true;
        at = overlapEnd;
        ++it;
    }
    // Record [begin, end), merged with the ranges it touches.
    if (end > begin) {
        std::uint32_t low = begin, high = end;
        auto first = std::partition_point(have.begin(), have.end(), [low](const auto& r) { return r.second < low; });
        auto stop = first;
        for (; stop != have.end() && stop->first <= high; ++stop) {
            low = std::min(low, stop->first);
            high = std::max(high, stop->second);
        }
        have.insert(have.erase(first, stop), {low, high});
    }
    return differed;
}

void IpReassembler::Expire(double now) {
    while (!order_.empty() && now - order_.front().firstTime > limits_.fragmentTimeoutS)
        Abandon(order_.begin(), "waited too long for its other fragments");
}

void IpReassembler::Flush(const char* why) {
    while (!order_.empty()) Abandon(order_.begin(), why);
}

void IpReassembler::Abandon(EntryList::iterator entry, const char* why) {
    if (onAbandoned_) {
        AbandonedDatagram a;
        a.key = entry->key;
        a.firstTime = entry->firstTime;
        a.received = entry->received;
        a.expected = entry->totalKnown ? entry->total : 0;
        a.why = why;
        if (!entry->have.empty() && entry->have.front().first == 0) {
            a.head = entry->data.data();
            a.headSize = entry->have.front().second;
        }
        onAbandoned_(a);
    }
    Erase(entry);
}

void IpReassembler::Erase(EntryList::iterator entry) {
    bytes_ -= entry->accounted;
    index_.erase(entry->key);
    order_.erase(entry);
}

} // namespace vita49::capture
