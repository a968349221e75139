// CAlgo: start-up sequence, parameter listing and the framework's defaults of
// the module interface.
#include "algo/Algo.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <exception>
#include <utility>

namespace {

// Creates `path` and its missing parents. 0 or an errno value.
int MakeFolders(const std::string& path) {
    if (path.empty()) {
        return 0;
    }
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') {
            continue;
        }
        const std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            return errno;
        }
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return errno;
    }
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// The loader reports an object by the name it was opened with (for the
// program itself often a relative argv[0]); the folder must not depend on the
// working directory at the time of a later call.
std::string AbsoluteObjectPath(const char* reported) {
    char resolved[PATH_MAX] = {};
    if (reported[0] != '\0' && realpath(reported, resolved) != nullptr) {
        return resolved;
    }
    // Not resolvable: only the program itself is reported that way.
    const ssize_t n = readlink("/proc/self/exe", resolved, sizeof(resolved) - 1);
    if (n > 0) {
        return std::string(resolved, static_cast<size_t>(n));
    }
    return reported;
}

void FillParamInfo(const CParamManage& store, const std::string& key, PARAM_VALUE_INFO* info) {
    *info = PARAM_VALUE_INFO{};
    std::snprintf(info->szKey, sizeof(info->szKey), "%s", key.c_str());
    try {
        CParamManage::ParamInfoPtr param = store.GetParamFindAndCheck(key, 0);
        info->nType = param->nType;
        std::snprintf(info->szValue, sizeof(info->szValue), "%s",
                      store.GetStrValueByType(param->vecValue[0], param->nType).c_str());
    } catch (const std::exception&) {
        // The description changed between listing and reading: leave it empty.
    }
}

}  // namespace

CAlgo::CAlgo() : m_szModuleName{}, m_nModuleId(0) {}

CAlgo::~CAlgo() = default;

void CAlgo::SetDescriptionPath(const std::string& path) {
    m_strDescriptionPath = path;
}

int CAlgo::Init() {
    const std::string name(m_szModuleName, strnlen(m_szModuleName, sizeof(m_szModuleName)));
    if (name.empty()) {
        std::fprintf(stderr, "CAlgo: module name not set before Init\n");
        return ALGO_E_INVALID_ARG;
    }
    try {
        std::string description = m_strDescriptionPath;
        if (description.empty()) {
            // The vtable pointer points into the module's own shared object,
            // whatever object file the call to Init comes from.
            Dl_info where{};
            if (dladdr(*reinterpret_cast<void**>(this), &where) == 0 ||
                where.dli_fname == nullptr) {
                std::fprintf(stderr, "CAlgo: cannot find the shared object of module %s\n",
                             name.c_str());
                return CParamManage::kErrIo;
            }
            const std::string object = AbsoluteObjectPath(where.dli_fname);
            const size_t slash = object.rfind('/');
            const std::string folder = slash == std::string::npos ? "." : object.substr(0, slash);
            description = folder + "/" + name + ".pdesc";
        }
        if (!m_pParamManage) {
            m_pParamManage = std::make_shared<CParamManage>();
        }
        int rc = m_pParamManage->LoadDescription(description);
        if (rc != 0) {
            std::fprintf(stderr, "CAlgo: module %s not initialised: no parameter description\n",
                         name.c_str());
            return rc;
        }
        const std::string folder = m_strPwd.empty() ? std::string(".") : m_strPwd;
        rc = MakeFolders(folder);
        if (rc != 0) {
            std::fprintf(stderr, "CAlgo: cannot create working folder %s: %s\n", folder.c_str(),
                         std::strerror(rc));
            return CParamManage::kErrIo;
        }
        rc = m_pParamManage->LoadFile(folder + "/" + name + ".param");
        if (rc != 0) {
            return rc;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "CAlgo: module %s not initialised: %s\n", name.c_str(), e.what());
        return CParamManage::kErrIo;
    }
    return InitAlgoPrivate();
}

int CAlgo::UpdatePwd(const char* pwd) {
    if (pwd == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    m_strPwd = pwd;
    UpdatePwdPrivate(pwd);
    return 0;
}

int CAlgo::SetModuleId(int id) {
    m_nModuleId = id;
    return 0;
}

int CAlgo::GetAllParam(PARAM_VALUE_INFO_LIST* list) {
    if (list == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    list->nNum = 0;
    if (!m_pParamManage) {
        return 0;
    }
    for (const auto& key : m_pParamManage->Keys()) {
        if (list->nNum >= ALGO_LIST_MAX) {
            break;
        }
        FillParamInfo(*m_pParamManage, key, &list->stParam[list->nNum++]);
    }
    return 0;
}

int CAlgo::GetParamNum() {
    return m_pParamManage ? static_cast<int>(m_pParamManage->Keys().size()) : 0;
}

int CAlgo::GetSingleParam(int index, PARAM_VALUE_INFO* info) {
    if (info == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    if (!m_pParamManage) {
        return CParamManage::kErrBadIndex;
    }
    const std::vector<std::string> keys = m_pParamManage->Keys();
    if (index < 0 || static_cast<size_t>(index) >= keys.size()) {
        return CParamManage::kErrBadIndex;
    }
    FillParamInfo(*m_pParamManage, keys[static_cast<size_t>(index)], info);
    return 0;
}

// No subscriptions or publications beyond the frame records: empty lists.
int CAlgo::GetSubParam(SUB_VALUE_INFO_LIST* list) {
    if (list == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    list->nNum = 0;
    return 0;
}

int CAlgo::GetSubHeadParam(SUB_HEAD_INFO_LIST* list) {
    if (list == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    list->nNum = 0;
    return 0;
}

int CAlgo::GetPubParam(PUB_VALUE_INFO_LIST* list) {
    if (list == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    list->nNum = 0;
    return 0;
}

int CAlgo::GetPubHeadParam(PUB_HEAD_INFO_LIST* list) {
    if (list == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    list->nNum = 0;
    return 0;
}

int CAlgo::GetSubParamNum() {
    return 0;
}

int CAlgo::GetSingleSubParam(int, SUB_VALUE_INFO* info) {
    return info == nullptr ? ALGO_E_INVALID_ARG : CParamManage::kErrBadIndex;
}

int CAlgo::GetSubHeadParamNum() {
    return 0;
}

int CAlgo::GetSingleSubHeadParam(int, HEAD_INFO* info) {
    return info == nullptr ? ALGO_E_INVALID_ARG : CParamManage::kErrBadIndex;
}

int CAlgo::GetPubParamNum() {
    return 0;
}

int CAlgo::GetSinglePubParam(int, PUB_VALUE_INFO* info) {
    return info == nullptr ? ALGO_E_INVALID_ARG : CParamManage::kErrBadIndex;
}

int CAlgo::GetPubHeadParamNum() {
    return 0;
}

int CAlgo::GetSinglePubHeadParam(int, HEAD_INFO* info) {
    return info == nullptr ? ALGO_E_INVALID_ARG : CParamManage::kErrBadIndex;
}

// Display data: what the host last set, handed back as it was.
int CAlgo::GetDisplayFileData(char* buffer, int size, int* length) {
    if (buffer == nullptr || size < 1 || length == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    const std::string data = m_vecDisplayData.empty() ? std::string() : m_vecDisplayData.back();
    const int n = std::min(static_cast<int>(data.size()), size - 1);
    std::memcpy(buffer, data.data(), static_cast<size_t>(n));
    buffer[n] = '\0';
    *length = n;
    return 0;
}

int CAlgo::SetDisplayFileData(char* buffer, int length) {
    if (buffer == nullptr || length < 0) {
        return ALGO_E_INVALID_ARG;
    }
    m_vecDisplayData.assign(1, std::string(buffer, static_cast<size_t>(length)));
    return 0;
}

int CAlgo::AlgoPlayCtrl(eALGO_PLAYCTRL ctrl) {
    return AlgoPlayCtrlPrivate(ctrl);
}

int CAlgo::GetRunningInfo(MODULE_RUNNING_INFO* info) {
    if (info == nullptr) {
        return ALGO_E_INVALID_ARG;
    }
    *info = ReadRunningInfo();
    return 0;
}

int CAlgo::ResetResultInfo() {
    RequestRunningInfoReset();
    return 0;
}

int CAlgo::AlgoPlayCtrlPrivate(eALGO_PLAYCTRL) {
    return 0;
}
int CAlgo::InitAbility(int, std::string) {
    return 0;
}
int CAlgo::InitROI(int, std::string, std::string) {
    return 0;
}
int CAlgo::InitPM(int, std::string, std::string) {
    return 0;
}
int CAlgo::InitIO(int, std::string) {
    return 0;
}
int CAlgo::InitDISP(int, std::string) {
    return 0;
}
int CAlgo::InitResult(int) {
    return 0;
}
