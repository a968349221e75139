// CParamManage: a module's parameter store.
//
// A parameter description (key, type, default, range) is read from a text file
// that the module ships beside its shared object; the current values live in
// a text file in the module's working folder. Every change is validated
// against the description, and SaveFile replaces the store file atomically, so
// a crash or a full disk never leaves a damaged store behind. A store file that
// is a symbolic link is saved through to the file it names.
//
// What a store file held is never lost: a damaged file (a line that is not a
// setting, a value the description refuses, a key it does not know, a file
// beyond the size limit) gives its valid lines and defaults for the rest, and
// is copied aside as "<store>.damaged-<time>" before anything can be saved
// over it; standard error names the dropped lines and the copy.
//
// Threads: all operations may be called from any thread; an internal mutex
// guards the values for one update. Readers get an immutable snapshot of a key
// (ParamInfoPtr) that stays valid whatever writers do later. A thread that
// reads a key again while nothing changed takes the snapshot from its own
// small cache without the lock, so a module can read a setting every frame.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "algo/AlgoExport.h"

class ALGO_API CParamManage {
public:
    enum ValueType : int32_t {
        PARAM_TYPE_INT = 0,     // decimal integer within [min, max]
        PARAM_TYPE_IPV4 = 1,    // dotted IPv4 text
        PARAM_TYPE_STRING = 2,  // text of at most max characters
    };

    static constexpr int kTextMax = 256;  // including the terminating NUL

    union UnionValue {
        int32_t nValue;
        char szValue[kTextMax];
    };

    struct ParamInfo {
        std::string strKey;
        int32_t nType = PARAM_TYPE_INT;
        int64_t nMin = 0;  // integers: lowest value; texts: unused
        int64_t nMax = 0;  // integers: highest value; texts: longest length
        std::string strDefault;
        std::vector<UnionValue> vecValue;  // value 0 is the one modules use
        // Texts: refuse any text that reads as the address 0.0.0.0 (a target
        // nothing can be sent to), in any numbers-and-dots form.
        bool bRefuseAnyAddress = false;
    };
    using ParamInfoPtr = std::shared_ptr<const ParamInfo>;

    // Result codes of this class.
    static constexpr int kErrUnknownKey = static_cast<int>(0xE0000101u);
    static constexpr int kErrBadValue = static_cast<int>(0xE0000102u);
    static constexpr int kErrBadIndex = static_cast<int>(0xE0000104u);
    static constexpr int kErrIo = static_cast<int>(0xE0000105u);
    static constexpr int kErrNoStore = static_cast<int>(0xE0000106u);

    CParamManage();
    ~CParamManage();
    CParamManage(const CParamManage&) = delete;
    CParamManage& operator=(const CParamManage&) = delete;

    // Reads the parameter description; 0, or kErrIo / kErrBadValue with one
    // line on stderr naming the file and the line that is wrong.
    int LoadDescription(const std::string& path);

    // Sets the store file and loads it. Keys the file lacks, and every line
    // that cannot be taken (see the class comment), give the description's
    // defaults; the valid lines are loaded. A damaged file is copied aside
    // first, an unreadable one moved aside, with one line on stderr naming
    // the dropped lines and the copy. Returns 0 unless no description is
    // loaded.
    int LoadFile(const std::string& path);

    static constexpr size_t kStoreFileMax = 1024 * 1024;  // larger is not a store of ours

    // The key's snapshot. Throws std::invalid_argument when the key is not in
    // the description or index is not a value of it.
    ParamInfoPtr GetParamFindAndCheck(const std::string& key, int index) const;

    // 0 when `value` is acceptable for `key`, else kErrUnknownKey/kErrBadValue.
    int CheckParam(const char* key, const char* value) const;

    // Validates and stores value number `index` (only 0 exists) in memory.
    int SetParam(const char* key, const char* value, int index);

    // Writes all values to the store file: temporary file, fsync, rename. A
    // symbolic link is followed, so the file it names is replaced and the link
    // stays. 0, or kErrNoStore / kErrIo; on failure the previous file is
    // untouched.
    int SaveFile();

    int GetValueType(const ParamInfo& info) const { return info.nType; }
    std::string GetStrValueByType(const UnionValue& value, int type) const;

    // Framework inline: value `index` of `key` as text (throws like
    // GetParamFindAndCheck).
    std::string GetParam(const std::string& key, int index) const {
        ParamInfoPtr info = GetParamFindAndCheck(key, index);
        return GetStrValueByType(info->vecValue[static_cast<size_t>(index)], GetValueType(*info));
    }

    std::vector<std::string> Keys() const;  // description order
    std::string StorePath() const;

private:
    ParamInfoPtr Find(const char* key) const;
    void ResetToDefaultsLocked();
    void BumpGenerationLocked();

    // Tells this store's entries in a thread's read cache from those of a
    // store that lived at the same address before; never reused.
    const uint64_t m_u64Id;

    mutable std::mutex m_mtx;  // guards the four members below
    std::vector<std::string> m_vecOrder;
    std::map<std::string, ParamInfoPtr, std::less<>> m_mapParam;
    std::string m_strStorePath;
    // Counts changes of the keys and values. Written under m_mtx, after the
    // change it counts; read without the lock by Find, whose cached snapshot
    // is current while the count is the one it was taken at.
    std::atomic<uint64_t> m_u64Generation{0};

    // Serialises writers of the store file. The only lock held across file
    // I/O, and no other lock is ever taken while it is held.
    std::mutex m_mtxSave;
    uint64_t m_u64SavedGeneration = 0;  // guarded by m_mtxSave
};

class ALGO_API CAlgoUtils {
public:
    // True for a dotted IPv4 address of four decimal octets 0..255.
    static bool CheckIpValid(const char* text);
};
