// CParamManage: parameter description, validated values and the store file.
//
// Description file (shipped beside the module), one key per line:
//   <key> int    <default> [<min> <max>]
//   <key> ipv4   <default>
//   <key> string <default> [<longest length>]
// Fields are separated by blanks; a field in double quotes may contain blanks
// ("" is the empty text, \" and \\ stand for " and \). '#' starts a comment
// outside quotes.
//
// A string may carry the flag not-any-address after its length: texts that
// read as the address 0.0.0.0 are refused (a target nothing can reach).
//
// The store file's format and its safe replacement are CStoreFile's
// (StoreFile.h); this file decides what its lines mean: which keys and values
// are taken, and what happens to a file that holds anything else.
#include "algo/ParamManage.h"

#include "StoreFile.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

constexpr char kFlagNotAnyAddress[] = "not-any-address";
// Dropped lines named one by one on stderr; the rest are counted.
constexpr size_t kDroppedNamed = 10;

using ParamInfo = CParamManage::ParamInfo;
using UnionValue = CParamManage::UnionValue;

// Parses optional sign + decimal digits, nothing else. False when the text is
// not of that form or does not fit in int64.
bool ParseInteger(const char* text, int64_t* out) {
    const char* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p == '\0') {
        return false;
    }
    uint64_t magnitude = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        // Checked before the step: after it, a value that wrapped could pass.
        if (magnitude > (static_cast<uint64_t>(INT64_MAX) - digit) / 10u) {
            return false;
        }
        magnitude = magnitude * 10u + digit;
    }
    const auto value = static_cast<int64_t>(magnitude);
    *out = negative ? -value : value;
    return true;
}

// 0 when `value` suits the description of `info`.
int CheckAgainst(const ParamInfo& info, const char* value) {
    switch (info.nType) {
        case CParamManage::PARAM_TYPE_INT: {
            int64_t number = 0;
            if (!ParseInteger(value, &number) || number < info.nMin || number > info.nMax) {
                return CParamManage::kErrBadValue;
            }
            return 0;
        }
        case CParamManage::PARAM_TYPE_IPV4:
            return CAlgoUtils::CheckIpValid(value) ? 0 : CParamManage::kErrBadValue;
        case CParamManage::PARAM_TYPE_STRING: {
            if (static_cast<int64_t>(std::strlen(value)) > info.nMax) {
                return CParamManage::kErrBadValue;
            }
            in_addr address{};
            if (info.bRefuseAnyAddress && inet_aton(value, &address) != 0 && address.s_addr == 0) {
                return CParamManage::kErrBadValue;
            }
            return 0;
        }
        default:
            return CParamManage::kErrBadValue;
    }
}

// The stored form of an already checked value.
UnionValue MakeValue(int type, const char* value) {
    UnionValue stored{};
    if (type == CParamManage::PARAM_TYPE_INT) {
        int64_t number = 0;
        ParseInteger(value, &number);
        stored.nValue = static_cast<int32_t>(number);
    } else {
        std::snprintf(stored.szValue, sizeof(stored.szValue), "%s", value);
    }
    return stored;
}

// Splits a description line into fields (see the file comment). False with
// `error` set on an unterminated quote or a bad escape.
bool SplitFields(const std::string& line, std::vector<std::string>* fields, std::string* error) {
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        if (i >= n || line[i] == '#') {
            break;
        }
        std::string field;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\') {
                    if (i >= n || (line[i] != '"' && line[i] != '\\')) {
                        *error = "bad escape in quoted text";
                        return false;
                    }
                    field.push_back(line[i++]);
                } else {
                    field.push_back(c);
                }
            }
            if (!closed) {
                *error = "unterminated quoted text";
                return false;
            }
        } else {
            while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
                   line[i] != '#') {
                field.push_back(line[i++]);
            }
        }
        fields->push_back(std::move(field));
    }
    return true;
}

bool ParseBound(const std::string& text, int64_t lo, int64_t hi, int64_t* out) {
    return ParseInteger(text.c_str(), out) && *out >= lo && *out <= hi;
}

// Builds the ParamInfo of one description line; false with `error` set.
bool ParseDescriptionLine(std::vector<std::string> f, ParamInfo* info, std::string* error) {
    if (f.size() > 3 && f.back() == kFlagNotAnyAddress) {
        if (f[1] != "string") {
            *error = std::string(kFlagNotAnyAddress) + " applies to strings only";
            return false;
        }
        info->bRefuseAnyAddress = true;
        f.pop_back();
    }
    if (f.size() < 3) {
        *error = "expected: <key> <type> <default> [limits]";
        return false;
    }
    info->strKey = f[0];
    if (info->strKey.size() >= 64 || info->strKey.find('=') != std::string::npos) {
        *error = "key too long or contains '='";
        return false;
    }
    // Keys are looked up as C texts and written as "key=value" lines: a zero
    // or control byte would make a key that can never be found again.
    for (const std::string& field : f) {
        for (const char c : field) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                *error = "zero or control byte in a field";
                return false;
            }
        }
    }
    info->strDefault = f[2];
    const std::string& type = f[1];
    if (type == "int") {
        info->nType = CParamManage::PARAM_TYPE_INT;
        info->nMin = INT32_MIN;
        info->nMax = INT32_MAX;
        if (f.size() == 5) {
            if (!ParseBound(f[3], INT32_MIN, INT32_MAX, &info->nMin) ||
                !ParseBound(f[4], INT32_MIN, INT32_MAX, &info->nMax) || info->nMin > info->nMax) {
                *error = "bad integer range";
                return false;
            }
        } else if (f.size() != 3) {
            *error = "int takes a default and optionally <min> <max>";
            return false;
        }
    } else if (type == "ipv4") {
        info->nType = CParamManage::PARAM_TYPE_IPV4;
        if (f.size() != 3) {
            *error = "ipv4 takes a default only";
            return false;
        }
    } else if (type == "string") {
        info->nType = CParamManage::PARAM_TYPE_STRING;
        info->nMax = CParamManage::kTextMax - 1;
        if (f.size() == 4) {
            if (!ParseBound(f[3], 0, CParamManage::kTextMax - 1, &info->nMax)) {
                *error = "bad longest length (0..255)";
                return false;
            }
        } else if (f.size() != 3) {
            *error = "string takes a default and optionally <longest length>";
            return false;
        }
    } else {
        *error = "unknown type '" + type + "' (int, ipv4, string)";
        return false;
    }
    if (CheckAgainst(*info, info->strDefault.c_str()) != 0) {
        *error = "default refused by its own limits";
        return false;
    }
    info->vecValue.assign(1, MakeValue(info->nType, info->strDefault.c_str()));
    return true;
}

// One dropped line of a store file and why.
struct DroppedLine {
    size_t nLine;
    const char* szWhy;
};

std::string DescribeDropped(const std::vector<DroppedLine>& dropped) {
    std::string text;
    for (size_t i = 0; i < dropped.size() && i < kDroppedNamed; ++i) {
        text += (i == 0 ? "line " : ", line ") + std::to_string(dropped[i].nLine) + " (" +
                dropped[i].szWhy + ")";
    }
    if (dropped.size() > kDroppedNamed) {
        text += " and " + std::to_string(dropped.size() - kDroppedNamed) + " more";
    }
    return text;
}

// Stores get ids from 1; 0 marks an empty cache entry.
std::atomic<uint64_t> g_u64NextStoreId{1};

// A thread's most recent snapshots, keyed by store, key and the store's
// generation at the time of the look-up. An entry holds its snapshot alive
// until it is replaced or the thread ends; it answers only while its store's
// generation stands, so a change (or a new store at the same address, which
// has another id) sends the next read back to the locked map.
class CReadCache {
public:
    using ParamInfoPtr = CParamManage::ParamInfoPtr;

    const ParamInfoPtr* Lookup(uint64_t store, uint64_t generation, std::string_view key) const {
        for (const Entry& e : m_aEntries) {
            if (e.nStore == store && e.nGeneration == generation && e.nKeyLen == key.size() &&
                std::memcmp(e.szKey, key.data(), key.size()) == 0) {
                return &e.pInfo;
            }
        }
        return nullptr;
    }

    // Keys are shorter than the entry's field (the description refuses
    // longer ones); anything else is simply not cached.
    void Remember(uint64_t store, uint64_t generation, std::string_view key,
                  const ParamInfoPtr& info) {
        if (key.size() >= sizeof(Entry::szKey)) {
            return;
        }
        Entry& e = m_aEntries[m_nNext];
        m_nNext = (m_nNext + 1) % kEntries;
        e.nStore = store;
        e.nGeneration = generation;
        e.nKeyLen = key.size();
        std::memcpy(e.szKey, key.data(), key.size());
        e.pInfo = info;
    }

private:
    // Enough for the keys a processing thread reads per frame in several
    // modules; a thread that walks all keys just takes the locked path.
    static constexpr size_t kEntries = 8;
    struct Entry {
        uint64_t nStore = 0;
        uint64_t nGeneration = 0;
        size_t nKeyLen = 0;
        char szKey[64];
        ParamInfoPtr pInfo;
    };
    Entry m_aEntries[kEntries];
    size_t m_nNext = 0;
};

thread_local CReadCache t_readCache;

}  // namespace

CParamManage::CParamManage() : m_u64Id(g_u64NextStoreId.fetch_add(1, std::memory_order_relaxed)) {}
CParamManage::~CParamManage() = default;

void CParamManage::BumpGenerationLocked() {
    m_u64Generation.store(m_u64Generation.load(std::memory_order_relaxed) + 1,
                          std::memory_order_release);
}

int CParamManage::LoadDescription(const std::string& path) {
    std::string content;
    const int rc = CStoreFile::ReadWhole(path, kStoreFileMax, &content);
    if (rc != 0) {
        std::fprintf(stderr, "CParamManage: cannot read parameter description %s: %s\n",
                     CStoreFile::Shown(path).c_str(), std::strerror(rc));
        return kErrIo;
    }

    std::vector<std::string> order;
    std::map<std::string, ParamInfoPtr, std::less<>> params;
    size_t lineNo = 0;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) {
            end = content.size();
        }
        const std::string line = content.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;

        std::vector<std::string> fields;
        std::string error;
        auto info = std::make_shared<ParamInfo>();
        if (!SplitFields(line, &fields, &error) ||
            (!fields.empty() && !ParseDescriptionLine(fields, info.get(), &error))) {
            std::fprintf(stderr, "CParamManage: %s:%zu: %s\n", CStoreFile::Shown(path).c_str(),
                         lineNo, error.c_str());
            return kErrBadValue;
        }
        if (fields.empty()) {
            continue;
        }
        if (params.count(info->strKey) != 0) {
            std::fprintf(stderr, "CParamManage: %s:%zu: key %s described twice\n",
                         CStoreFile::Shown(path).c_str(), lineNo, info->strKey.c_str());
            return kErrBadValue;
        }
        order.push_back(info->strKey);
        params.emplace(info->strKey, std::move(info));
    }

    std::lock_guard<std::mutex> lock(m_mtx);
    m_vecOrder.swap(order);
    m_mapParam.swap(params);
    BumpGenerationLocked();
    return 0;
}

void CParamManage::ResetToDefaultsLocked() {
    for (auto& entry : m_mapParam) {
        auto info = std::make_shared<ParamInfo>(*entry.second);
        info->vecValue.assign(1, MakeValue(info->nType, info->strDefault.c_str()));
        entry.second = std::move(info);
    }
    BumpGenerationLocked();
}

int CParamManage::LoadFile(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (m_mapParam.empty()) {
            return kErrNoStore;
        }
        m_strStorePath = path;
        ResetToDefaultsLocked();
    }

    std::string content;
    const int rc = CStoreFile::ReadWhole(path, kStoreFileMax, &content);
    if (rc == ENOENT || rc == ENOTDIR) {
        // First start (or a folder path that cannot hold a file, which the
        // first save reports): defaults; nothing is there to lose.
        return 0;
    }
    if (rc == EISDIR) {
        // A save cannot replace a folder either, so nothing is lost.
        std::fprintf(stderr, "CParamManage: parameter store %s is a folder, using defaults\n",
                     CStoreFile::Shown(path).c_str());
        return 0;
    }
    if (rc == ENODEV) {
        // A device or a FIFO: neither read nor replaced nor moved.
        std::fprintf(stderr,
                     "CParamManage: parameter store %s is not a regular file: using defaults, "
                     "and the store is not saved\n",
                     CStoreFile::Shown(path).c_str());
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strStorePath.clear();
        return 0;
    }
    if (rc != 0 && rc != EFBIG) {
        // Unreadable now, but it may hold settings: moved aside, so that the
        // first save cannot replace it; if even that fails, nothing is saved.
        const std::string target = CStoreFile::FinalTarget(path);
        const std::string aside = CStoreFile::AsideName(target, "unreadable");
        const int moved = rename(target.c_str(), aside.c_str()) == 0 ? 0 : errno;
        if (moved == 0) {
            std::fprintf(stderr,
                         "CParamManage: cannot read parameter store %s (%s), using defaults; "
                         "the file is kept as %s\n",
                         CStoreFile::Shown(path).c_str(), std::strerror(rc),
                         CStoreFile::Shown(aside).c_str());
        } else {
            std::fprintf(stderr,
                         "CParamManage: cannot read parameter store %s (%s) nor move it aside "
                         "(%s): using defaults, and the store is not saved\n",
                         CStoreFile::Shown(path).c_str(), std::strerror(rc), std::strerror(moved));
            std::lock_guard<std::mutex> lock(m_mtx);
            m_strStorePath.clear();
        }
        return 0;
    }

    // Every line that can be taken is taken; the others are named.
    std::vector<DroppedLine> dropped;
    std::vector<std::pair<std::string, std::string>> entries;
    std::map<std::string, size_t> lineOfKey;
    std::string_view all(content);
    if (rc == EFBIG) {
        all = all.substr(0, kStoreFileMax);
    }
    for (CStoreFile::Entry& line : CStoreFile::Parse(all, rc == EFBIG)) {
        if (line.szWhy != nullptr) {
            dropped.push_back({line.nLine, line.szWhy});
            continue;
        }
        ParamInfoPtr current = Find(line.strKey.c_str());
        if (!current) {
            dropped.push_back({line.nLine, "unknown key"});
            continue;
        }
        if (CheckAgainst(*current, line.strValue.c_str()) != 0) {
            dropped.push_back({line.nLine, "value refused"});
            continue;
        }
        const auto seen = lineOfKey.find(line.strKey);
        if (seen != lineOfKey.end()) {
            dropped.push_back({seen->second, "repeated key, a later line wins"});
        }
        lineOfKey[line.strKey] = line.nLine;
        entries.emplace_back(std::move(line.strKey), std::move(line.strValue));
    }
    for (const auto& [key, value] : entries) {
        SetParam(key.c_str(), value.c_str(), 0);
    }
    if (dropped.empty()) {
        return 0;
    }

    // The file as it was, kept before anything can be saved over it.
    const std::string target = CStoreFile::FinalTarget(path);
    const std::string aside = CStoreFile::AsideName(target, "damaged");
    const int copied = CStoreFile::CopyAside(target, aside);
    if (copied == 0) {
        std::fprintf(stderr,
                     "CParamManage: parameter store %s is damaged: dropped %s; the other lines "
                     "are loaded, defaults for the rest; the file as it was is kept as %s\n",
                     CStoreFile::Shown(path).c_str(), DescribeDropped(dropped).c_str(),
                     CStoreFile::Shown(aside).c_str());
    } else {
        std::fprintf(stderr,
                     "CParamManage: parameter store %s is damaged: dropped %s; the other lines "
                     "are loaded, defaults for the rest; no copy could be kept (%s), so the "
                     "store is not saved\n",
                     CStoreFile::Shown(path).c_str(), DescribeDropped(dropped).c_str(),
                     std::strerror(copied));
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strStorePath.clear();
    }
    return 0;
}

CParamManage::ParamInfoPtr CParamManage::Find(const char* text) const {
    const std::string_view key(text);
    // Acquire: a generation written after a change is read with the change.
    const uint64_t seen = m_u64Generation.load(std::memory_order_acquire);
    if (const ParamInfoPtr* cached = t_readCache.Lookup(m_u64Id, seen, key)) {
        return *cached;
    }
    ParamInfoPtr info;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        auto it = m_mapParam.find(key);
        if (it == m_mapParam.end()) {
            return ParamInfoPtr{};
        }
        info = it->second;
        generation = m_u64Generation.load(std::memory_order_relaxed);
    }
    t_readCache.Remember(m_u64Id, generation, key, info);
    return info;
}

CParamManage::ParamInfoPtr CParamManage::GetParamFindAndCheck(const std::string& key,
                                                              int index) const {
    ParamInfoPtr info = Find(key.c_str());
    if (!info) {
        throw std::invalid_argument("unknown parameter key " + key);
    }
    if (index < 0 || static_cast<size_t>(index) >= info->vecValue.size()) {
        throw std::invalid_argument("parameter " + key + " has no value " + std::to_string(index));
    }
    return info;
}

int CParamManage::CheckParam(const char* key, const char* value) const {
    if (key == nullptr) {
        return kErrUnknownKey;
    }
    ParamInfoPtr info = Find(key);
    if (!info) {
        return kErrUnknownKey;
    }
    if (value == nullptr) {
        return kErrBadValue;
    }
    return CheckAgainst(*info, value);
}

int CParamManage::SetParam(const char* key, const char* value, int index) {
    if (key == nullptr) {
        return kErrUnknownKey;
    }
    ParamInfoPtr current = Find(key);
    if (!current) {
        return kErrUnknownKey;
    }
    if (index != 0) {
        return kErrBadIndex;
    }
    if (value == nullptr || CheckAgainst(*current, value) != 0) {
        return kErrBadValue;
    }
    // A new snapshot, built outside the lock and swapped in: readers keep
    // whatever snapshot they already hold.
    auto next = std::make_shared<ParamInfo>(*current);
    next->vecValue[0] = MakeValue(next->nType, value);
    ParamInfoPtr old;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        auto it = m_mapParam.find(std::string_view(key));
        if (it == m_mapParam.end()) {
            return kErrUnknownKey;  // the description was replaced meanwhile
        }
        old = std::exchange(it->second, std::move(next));
        BumpGenerationLocked();
    }
    return 0;
}

int CParamManage::SaveFile() {
    std::vector<ParamInfoPtr> snapshot;
    std::string path;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (m_strStorePath.empty()) {
            return kErrNoStore;
        }
        path = m_strStorePath;
        generation = m_u64Generation.load(std::memory_order_relaxed);
        snapshot.reserve(m_vecOrder.size());
        for (const auto& key : m_vecOrder) {
            snapshot.push_back(m_mapParam.find(key)->second);
        }
    }

    std::vector<std::pair<std::string, std::string>> values;
    values.reserve(snapshot.size());
    for (const auto& info : snapshot) {
        values.emplace_back(info->strKey, GetStrValueByType(info->vecValue[0], info->nType));
    }
    const std::string text = CStoreFile::Format(values);

    std::lock_guard<std::mutex> saveLock(m_mtxSave);
    if (generation < m_u64SavedGeneration) {
        return 0;  // a concurrent save already wrote newer values
    }
    bool replaced = false;
    const bool saved = CStoreFile::Write(path, text, &replaced);
    if (replaced) {
        m_u64SavedGeneration = generation;
    }
    return saved ? 0 : kErrIo;
}

std::string CParamManage::GetStrValueByType(const UnionValue& value, int type) const {
    if (type == PARAM_TYPE_INT) {
        return std::to_string(value.nValue);
    }
    return std::string(value.szValue, strnlen(value.szValue, sizeof(value.szValue)));
}

std::vector<std::string> CParamManage::Keys() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_vecOrder;
}

std::string CParamManage::StorePath() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_strStorePath;
}
