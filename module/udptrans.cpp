// udp::CUdptransModule and the exported factory of libudptrans.so.
#include "udptrans.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>

#include "algo/AppComponents.h"
#include "algo/ComObjectPool.h"
#include "algo/FrameData.h"
#include "algo/ParamManage.h"
#include "UtLog.h"
#include "udpMsg.h"
#include "udptrans/udptrans_host.h"
#include "udptrans/udptrans_version.h"

namespace {
constexpr char kLogFile[] = "udptrans";

// The keys are the host contract's names (udptrans/udptrans_host.h). Those
// of the per-frame look-ups, which take a const std::string&, are made once:
// a literal would build a temporary (and allocate) on every frame.
struct FrameKeys {
    const std::string frameCnt{UDPTRANS_FRAME_COUNT};
    const std::string triggerCnt{UDPTRANS_FRAME_TRIGGER_COUNT};
    const std::string objBinary{UDPTRANS_FRAME_RESULT};
    const std::string status{UDPTRANS_FRAME_STATUS};
    const std::string paramStatus{UDPTRANS_FRAME_PARAM_STATUS};
    const std::string enableTestImage{UDPTRANS_IMAGE_TEST_IMAGE};
    const std::string triggerMode{UDPTRANS_TRIGGER_MODE};
    const std::string algoEnable{UDPTRANS_PARAM_ALGO_ENABLE};
    const std::string scheduledTransEnable{UDPTRANS_PARAM_SCHEDULED_TRANS_ENABLE};
};

const FrameKeys& Keys() {
    static const FrameKeys keys;
    return keys;
}

// Frame processing reports under fixed line numbers: the camera's log tools
// and the captures from devices in the field know these messages by them,
// wherever the call happens to sit in this file.
namespace process_line {
constexpr int kStart = 259;
constexpr int kNoFrame = 264;
constexpr int kNoFrameCnt = 271;
constexpr int kNoTriggerCnt = 278;
constexpr int kNoObjBinary = 286;
constexpr int kAlgoEnableUnreadable = 296;
constexpr int kNoTriggerSource = 218;
constexpr int kNoImageProcess = 224;
constexpr int kScheduledUnreadable = 244;
constexpr int kGateClosed = 316;
constexpr int kGateRecord = 317;
constexpr int kEnd = 320;
}  // namespace process_line

constexpr char kModuleName[] = UDPTRANS_MODULE_NAME;
// The version as text in the object, so that `strings libudptrans.so` tells
// which build a camera runs when only the .so was copied. Not exported.
__attribute__((used)) const char kVersionText[] = "udptrans version " UDPTRANS_VERSION_STRING;
constexpr char kHostInterface[] = "eth0";
constexpr int kHostIpMax = 16;  // "255.255.255.255" and its NUL

bool KeyIs(const char* key, const char* name) {
    return std::strcmp(key, name) == 0;
}

// Decimal text to a 32-bit value as the host's tools expect: leading blanks
// and a sign allowed, stops at the first non-digit, no digits gives 0, and
// wider values keep their low 32 bits.
int32_t ToInt32(const char* text) {
    const long wide = std::strtol(text, nullptr, 10);
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(wide)));
}

unsigned short LowPort(int32_t port) {
    return static_cast<unsigned short>(static_cast<uint32_t>(port) & 0xFFFFu);
}

// Value 0 of a key as the store keeps it. The store throws
// std::invalid_argument for an unknown key; a key without values is treated
// the same way so that callers have a single failure to handle.
const CParamManage::UnionValue& FirstValue(const CParamManage::ParamInfoPtr& info) {
    if (!info || info->vecValue.empty()) {
        throw std::invalid_argument("parameter has no value");
    }
    return info->vecValue.front();
}

int32_t ReadInt(const CParamManage& store, const std::string& key) {
    return FirstValue(store.GetParamFindAndCheck(key, 0)).nValue;
}

std::string ReadText(const CParamManage& store, const std::string& key) {
    const CParamManage::UnionValue& value = FirstValue(store.GetParamFindAndCheck(key, 0));
    // Bounded: a value without its NUL must not run past the union.
    return std::string(value.szValue, strnlen(value.szValue, sizeof(value.szValue)));
}

// inet_addr in host byte order; false for text that is no address and for
// 255.255.255.255, whose code is the failure code.
bool ParseIpv4(const char* text, unsigned int* address) {
    const in_addr_t raw = inet_addr(text);
    if (raw == INADDR_NONE) {
        return false;
    }
    *address = ntohl(raw);
    return true;
}
}  // namespace

namespace udp {

CUdptransModule::CUdptransModule() : CAlgo(), m_pUdpProcess(nullptr) {}

CUdptransModule::~CUdptransModule() {
    DeInit();
}

int CUdptransModule::DeInit() {
    if (m_pUdpProcess == nullptr) {
        return 0;
    }
    // The engine's DeInit returns only once its task threads have ended, so
    // nothing of it runs afterwards and it can be freed at once.
    m_pUdpProcess->DeInit();
    delete m_pUdpProcess;
    m_pUdpProcess = nullptr;
    return 0;
}

int CUdptransModule::SetPwd(const char* pwd) {
    // A null working folder cannot name a store file: refuse it rather than
    // let std::string fault on it.
    if (pwd == nullptr) {
        UT_LOGE(m_nModuleId, "SetPwd with null path\r\n");
        return kUtErrInvalidArg;
    }
    std::memcpy(m_szModuleName, kModuleName, sizeof(kModuleName));
    m_strPwd = pwd;
    // An exception from the parameter store during initialisation passes to
    // the host unchanged: it is the host's to handle.
    return Init();
}

void CUdptransModule::UpdatePwdPrivate(const char* /*pwd*/) {}

int CUdptransModule::InitROI(int /*type*/, std::string /*name*/, std::string /*text*/) {
    return 0;
}

int CUdptransModule::SetProcedureName(const char* name) {
    if (name == nullptr) {
        return kUtErrInvalidArg;
    }
    // The engine keeps the name; before the module is started there is
    // nothing to keep it in, and silently dropping it would mislead the host.
    if (m_pUdpProcess == nullptr) {
        UT_LOGE(m_nModuleId, "SetProcedureName before init\r\n");
        return kUtErrInvalidArg;
    }
    return m_pUdpProcess->SetProcedureName(name);
}

// ---- Initialisation ---------------------------------------------------------

int CUdptransModule::InitAlgoPrivate() {
    // The framework loads the store before it calls here; without one there
    // is nothing to configure the engine from.
    if (!m_pParamManage) {
        UT_LOGE(m_nModuleId, "Get Param Filed %s \n\n", "no parameter store");
        return kUtErrInvalidArg;
    }
    const CParamManage& store = *m_pParamManage;
    char szPort[256];
    std::memset(szPort, 0, sizeof(szPort));

    // Nothing below catches: a key the store cannot give throws, and the
    // exception reaches the caller of CAlgo::Init with the engine as far as
    // the steps before it got (created, or stopped for re-initialisation).
    if (m_pUdpProcess == nullptr) {
        m_pUdpProcess = new CUdpProcess();
    } else {
        // Re-initialisation: the tasks must be stopped before the settings
        // they read are rewritten.
        m_pUdpProcess->DeInit();
    }

    // "HostIp" configures nothing; the query only logs eth0's address.
    (void)ReadText(store, UDPTRANS_PARAM_HOST_IP);
    char szHostIp[32] = {0};
    GetHostIp(szHostIp, sizeof(szHostIp), nullptr);

    m_pUdpProcess->SetLogId(m_nModuleId);

    unsigned int address = 0;
    // An unusable target leaves the engine stopped; the module still reports
    // success so that the host keeps it loaded and a later SetParam of a
    // valid address and a re-initialisation can bring it up.
    if (!ParseIpv4(ReadText(store, UDPTRANS_PARAM_TARGET_IP).c_str(), &address)) {
        return 0;
    }
    m_pUdpProcess->SetTargetMsgIp(address);
    m_pUdpProcess->SetHostMsgPort(LowPort(ReadInt(store, UDPTRANS_PARAM_HOST_PORT)), false);
    m_pUdpProcess->SetTargetMsgPort(LowPort(ReadInt(store, UDPTRANS_PARAM_TARGET_PORT)));

    if (!ParseIpv4(ReadText(store, UDPTRANS_PARAM_TARGET_HEARTBEAT_IP).c_str(), &address)) {
        return 0;
    }
    m_pUdpProcess->SetTargetHbIp(address);
    m_pUdpProcess->SetHostHbPort(LowPort(ReadInt(store, UDPTRANS_PARAM_HOST_HEARTBEAT_PORT)),
                                 false);
    m_pUdpProcess->SetTargetHbPort(LowPort(ReadInt(store, UDPTRANS_PARAM_TARGET_HEARTBEAT_PORT)));

    m_pUdpProcess->SetHeartbeatTranMode(ReadInt(store, UDPTRANS_PARAM_HEARTBEAT_TRAN_MODE));
    m_pUdpProcess->SetHeartbeatText(ReadText(store, UDPTRANS_PARAM_HEARTBEAT_TEXT).c_str());
    m_pUdpProcess->SetHeartbeatInterval(static_cast<unsigned long>(
        static_cast<long>(ReadInt(store, UDPTRANS_PARAM_HEARTBEAT_INTERVAL))));
    m_pUdpProcess->SetModuleEnable(ReadInt(store, UDPTRANS_PARAM_ALGO_ENABLE));
    m_pUdpProcess->SetScheduledTransEnable(ReadInt(store, UDPTRANS_PARAM_SCHEDULED_TRANS_ENABLE));
    m_pUdpProcess->SetScheduledTransTime(ReadInt(store, UDPTRANS_PARAM_SCHEDULED_TRANS_TIME));

    const int result = m_pUdpProcess->Init();

    // The endpoints may have moved to other ports (0 means the default, a
    // taken port steps upward): the store must show what is really bound.
    int len = std::snprintf(szPort, sizeof(szPort), "%d", m_pUdpProcess->GetHostMsgPort());
    SetParam(UDPTRANS_PARAM_HOST_PORT, szPort, len);
    len = std::snprintf(szPort, sizeof(szPort), "%d", m_pUdpProcess->GetHostHbPort());
    SetParam(UDPTRANS_PARAM_HOST_HEARTBEAT_PORT, szPort, len);
    return result;
}

// ---- Parameters ---------------------------------------------------------------

int CUdptransModule::SetParam(const char* key, const char* value, int length) {
    if (key == nullptr || key[0] == '\0' || value == nullptr || length == 0) {
        return kUtErrInvalidArg;
    }
    // The store is loaded by SetPwd; before that there is nowhere to keep a
    // value.
    if (!m_pParamManage) {
        UT_LOGE(m_nModuleId, "SetParam %s before init\r\n", key);
        return kUtErrInvalidArg;
    }
    int result = m_pParamManage->CheckParam(key, value);
    if (result != 0) {
        UT_LOGE(m_nModuleId, "SetParam %s value %s is not valid\r\n", key, value);
        return result;
    }
    UT_LOGI(m_nModuleId, "SetParam %s: %s\r\n", key, value);

    // Endpoint keys reach the engine first and are stored only when it
    // took them; engine keys are stored first.
    result = SetmoduParaHandle(key, value, length);
    if (result == 0 || result == kUtKeyNotHandled) {
        const int ret = m_pParamManage->SetParam(key, value, 0);
        if (ret != 0) {
            UT_LOGE(m_nModuleId, "SetParam failed, ret = %d\r\n", ret);
        }
        result = m_pParamManage->SaveFile();
        if (result != 0) {
            UT_LOGE(m_nModuleId, "SaveFile failed, nRet = %d\r\n", result);
        }
    }
    ApplyEngineKey(key, value);
    return result;
}

void CUdptransModule::ApplyEngineKey(const char* key, const char* value) {
    // Without an engine the stored value is enough: initialisation reads it.
    if (m_pUdpProcess == nullptr) {
        return;
    }
    if (KeyIs(key, UDPTRANS_PARAM_ALGO_ENABLE)) {
        m_pUdpProcess->SetModuleEnable(ToInt32(value));
    } else if (KeyIs(key, UDPTRANS_PARAM_SCHEDULED_TRANS_ENABLE)) {
        m_pUdpProcess->SetScheduledTransEnable(ToInt32(value));
    } else if (KeyIs(key, UDPTRANS_PARAM_SCHEDULED_TRANS_TIME)) {
        m_pUdpProcess->SetScheduledTransTime(ToInt32(value));
    } else if (KeyIs(key, UDPTRANS_PARAM_HEARTBEAT_TRAN_MODE)) {
        m_pUdpProcess->SetHeartbeatTranMode(ToInt32(value));
    } else if (KeyIs(key, UDPTRANS_PARAM_HEARTBEAT_TEXT)) {
        m_pUdpProcess->SetHeartbeatText(value);
    } else if (KeyIs(key, UDPTRANS_PARAM_HEARTBEAT_INTERVAL)) {
        m_pUdpProcess->SetHeartbeatInterval(
            static_cast<unsigned long>(static_cast<long>(ToInt32(value))));
    }
}

int CUdptransModule::SetmoduParaHandle(const char* key, const char* value, int /*length*/) {
    if (KeyIs(key, UDPTRANS_PARAM_HOST_IP)) {
        return SetHostIp(value);
    }
    if (KeyIs(key, UDPTRANS_PARAM_HOST_PORT)) {
        return SetHostPort(ToInt32(value));
    }
    if (KeyIs(key, UDPTRANS_PARAM_TARGET_IP)) {
        return SetTargetIp(value);
    }
    if (KeyIs(key, UDPTRANS_PARAM_TARGET_PORT)) {
        return SetTargetPort(ToInt32(value));
    }
    if (KeyIs(key, UDPTRANS_PARAM_HOST_HEARTBEAT_PORT)) {
        return SetHostHeartbeatPort(ToInt32(value));
    }
    if (KeyIs(key, UDPTRANS_PARAM_TARGET_HEARTBEAT_IP)) {
        return SetTargetHeartbeatIp(value);
    }
    if (KeyIs(key, UDPTRANS_PARAM_TARGET_HEARTBEAT_PORT)) {
        return SetTargetHeartbeatPort(ToInt32(value));
    }
    return kUtKeyNotHandled;
}

int CUdptransModule::GetParam(const char* key, char* buffer, int size, int* length) {
    if (key == nullptr || key[0] == '\0' || buffer == nullptr || size < 1 || length == nullptr) {
        return kUtErrInvalidArg;
    }
    try {
        if (GetmoduParaHandle(key, buffer, size, length) != kUtKeyNotHandled) {
            return 0;
        }
        if (!m_pParamManage) {
            UT_LOGE(m_nModuleId, "GetParam %s before init\r\n", key);
            return kUtErrInvalidArg;
        }
        const std::string text = m_pParamManage->GetParam(key, 0);
        const int written = std::snprintf(buffer, static_cast<size_t>(size), "%s", text.c_str());
        *length = written < size ? written : size - 1;
        return 0;
    } catch (const std::invalid_argument& e) {
        // A key the store does not know is the host's mistake: an answer with
        // the store's own code serves it better than an exception. Nothing
        // else is caught.
        UT_LOGE(m_nModuleId, "GetParam %s failed: %s\r\n", key, e.what());
        return CParamManage::kErrUnknownKey;
    }
}

int CUdptransModule::GetmoduParaHandle(const char* key, char* buffer, int size, int* length) {
    if (KeyIs(key, UDPTRANS_PARAM_HOST_IP)) {
        return GetHostIp(buffer, size, length);
    }
    if (KeyIs(key, UDPTRANS_PARAM_TARGET_IP)) {
        return GetTargetIp(buffer, size, length);
    }
    if (KeyIs(key, UDPTRANS_PARAM_TARGET_HEARTBEAT_IP)) {
        return GetTargetHeartbeatIp(buffer, size, length);
    }
    int port = 0;
    int result = kUtKeyNotHandled;
    // Ports come from the engine, which knows what is really bound; without
    // an engine the store's text is the best answer, so fall through to it.
    if (m_pUdpProcess == nullptr) {
        return kUtKeyNotHandled;
    }
    if (KeyIs(key, UDPTRANS_PARAM_HOST_PORT)) {
        result = GetHostPort(&port);
    } else if (KeyIs(key, UDPTRANS_PARAM_TARGET_PORT)) {
        result = GetTargetPort(&port);
    } else if (KeyIs(key, UDPTRANS_PARAM_HOST_HEARTBEAT_PORT)) {
        result = GetHostHeartbeatPort(&port);
    } else if (KeyIs(key, UDPTRANS_PARAM_TARGET_HEARTBEAT_PORT)) {
        result = GetTargetHeartbeatPort(&port);
    } else {
        return kUtKeyNotHandled;
    }
    std::snprintf(buffer, static_cast<size_t>(size), "%d", port);
    return result;
}

int CUdptransModule::UpSingleParam(const char* key, bool /*flag*/) {
    if (key == nullptr) {
        return kUtErrInvalidArg;
    }
    // Only "HostIp" has a value the module can refresh. For any other key an
    // empty text would overwrite the stored setting, so the store is left as
    // it is.
    if (!KeyIs(key, UDPTRANS_PARAM_HOST_IP)) {
        return 0;
    }
    char value[256];
    std::memset(value, 0, sizeof(value));
    int length = 0;
    const int ret = GetHostIp(value, sizeof(value), &length);
    if (ret != 0) {
        UT_LOGE(m_nModuleId, "GetHostIp failed, nErrCode = %d\r\n", ret);
        return kUtErrHostAddr;
    }
    const int saved = UpParam4All(key, value);
    if (saved != 0) {
        UT_LOGE(m_nModuleId, "UpParam4All param %s value %s failed, nErrCode = %d\r\n", key, value,
                saved);
    }
    return 0;
}

int CUdptransModule::UpParam4All(const char* key, const char* value) {
    if (key == nullptr || value == nullptr || !m_pParamManage) {
        return kUtErrInvalidArg;
    }
    UT_LOGD(m_nModuleId, "UpParam4All param %s value %s start\r\n", key, value);
    int result = m_pParamManage->SetParam(key, value, 0);
    if (result != 0) {
        UT_LOGE(m_nModuleId, "SetParam failed, nRet = %d\r\n", result);
    }
    const int saved = m_pParamManage->SaveFile();
    if (saved != 0) {
        UT_LOGE(m_nModuleId, "SaveFile failed, nRet = %d\r\n", saved);
        result = saved;
    }
    UT_LOGD(m_nModuleId, "UpParam4All param %s value %s end\r\n", key, value);
    return result;
}

// Setters. Without an engine (the store lacked a key at initialisation) a
// value is checked as usual and only stored: initialisation picks it up.

int CUdptransModule::SetHostIp(const char* /*ip*/) {
    return 0;
}

int CUdptransModule::SetHostPort(int port) {
    if (m_pUdpProcess == nullptr) {
        return 0;
    }
    return m_pUdpProcess->SetHostMsgPort(LowPort(port), true);
}

int CUdptransModule::SetTargetIp(const char* ip) {
    return SetTargetAddress(ip, false);
}

int CUdptransModule::SetTargetPort(int port) {
    if (m_pUdpProcess != nullptr) {
        m_pUdpProcess->SetTargetMsgPort(LowPort(port));
    }
    return 0;
}

int CUdptransModule::SetHostHeartbeatPort(int port) {
    if (m_pUdpProcess == nullptr) {
        return 0;
    }
    return m_pUdpProcess->SetHostHbPort(LowPort(port), true);
}

int CUdptransModule::SetTargetHeartbeatIp(const char* ip) {
    return SetTargetAddress(ip, true);
}

int CUdptransModule::SetTargetHeartbeatPort(int port) {
    if (m_pUdpProcess != nullptr) {
        m_pUdpProcess->SetTargetHbPort(LowPort(port));
    }
    return 0;
}

int CUdptransModule::SetTargetAddress(const char* ip, bool heartbeat) {
    if (ip == nullptr) {
        return -1;
    }
    UT_LOGI(m_nModuleId, "%s\n", ip);
    if (!CAlgoUtils::CheckIpValid(ip)) {
        return kUtErrAddrRefused;
    }
    unsigned int address = 0;
    if (!ParseIpv4(ip, &address)) {
        return -2;
    }
    if (m_pUdpProcess != nullptr) {
        if (heartbeat) {
            m_pUdpProcess->SetTargetHbIp(address);
        } else {
            m_pUdpProcess->SetTargetMsgIp(address);
        }
    }
    return 0;
}

int CUdptransModule::GetHostPort(int* port) {
    *port = m_pUdpProcess->GetHostMsgPort();
    return 0;
}

int CUdptransModule::GetTargetPort(int* port) {
    *port = m_pUdpProcess->GetTargetMsgPort();
    return 0;
}

int CUdptransModule::GetHostHeartbeatPort(int* port) {
    *port = m_pUdpProcess->GetHostHbPort();
    return 0;
}

int CUdptransModule::GetTargetHeartbeatPort(int* port) {
    *port = m_pUdpProcess->GetTargetHbPort();
    return 0;
}

int CUdptransModule::GetTargetIp(char* /*buffer*/, int /*size*/, int* /*length*/) {
    return 0;
}

int CUdptransModule::GetTargetHeartbeatIp(char* /*buffer*/, int /*size*/, int* /*length*/) {
    return 0;
}

int CUdptransModule::get_ipaddr(const char* interface, unsigned int* address) {
    if (interface == nullptr || address == nullptr) {
        return -1;
    }
    // Any IPv4 socket will do as the handle of the interface query.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    struct ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::snprintf(request.ifr_name, IFNAMSIZ, "%s", interface);
    if (ioctl(fd, SIOCGIFADDR, &request) != 0) {
        const int err = errno;
        UT_LOGD(m_nModuleId, "get_ipaddr ioctl error and errno=%d\n", err);
        close(fd);
        return -1;
    }
    struct sockaddr_in addr;
    std::memcpy(&addr, &request.ifr_addr, sizeof(addr));
    *address = ntohl(addr.sin_addr.s_addr);
    close(fd);
    return 0;
}

int CUdptransModule::GetHostIp(char* buffer, int size, int* /*length*/) {
    unsigned int address = 0;
    if (get_ipaddr(kHostInterface, &address) != 0) {
        UT_LOGE(m_nModuleId, "get ip addr failed!\r\n");
        return -1;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", static_cast<int>((address >> 24) & 0xFFu),
                  static_cast<int>((address >> 16) & 0xFFu),
                  static_cast<int>((address >> 8) & 0xFFu), static_cast<int>(address & 0xFFu));
    // Never more than the caller's buffer holds, and never more than the
    // longest dotted address.
    if (buffer != nullptr && size > 0) {
        const size_t bound = static_cast<size_t>(size < kHostIpMax ? size : kHostIpMax);
        const size_t n = std::min(strnlen(text, sizeof(text)), bound - 1);
        std::memcpy(buffer, text, n);
        buffer[n] = '\0';
    }
    UT_LOGI(m_nModuleId, "ip_addr is %s\r\n", text);
    return 0;
}

// ---- Frame processing ----------------------------------------------------------

bool CUdptransModule::PassSendGate(int triggerCount) {
    using Infra::Component::getComponentInstance;
    zerran_app::ITriggerSource* trigger = getComponentInstance<zerran_app::ITriggerSource>();
    zerran_app::IImageProcess* image = getComponentInstance<zerran_app::IImageProcess>();
    if (trigger == nullptr) {
        UT_LOGE_AT(process_line::kNoTriggerSource, m_nModuleId,
                   "trigger source instance nullptr\n");
        return false;
    }
    if (image == nullptr) {
        UT_LOGE_AT(process_line::kNoImageProcess, m_nModuleId, "image process instance nullptr\n");
        return false;
    }
    // In triggered mode with scheduled transmission, a trigger that has
    // already been answered takes no further result: it would wait in the
    // held queue and answer a later trigger with a stale result.
    int testImage = 0;
    if (image->GetIntParam(Keys().enableTestImage, testImage) != 0 || testImage == 1) {
        return true;
    }
    int triggerMode = 0;
    if (trigger->GetIntParam(Keys().triggerMode, triggerMode) != 0 || triggerMode != 1) {
        return true;
    }
    int32_t scheduled = 0;
    try {
        scheduled = ReadInt(*m_pParamManage, Keys().scheduledTransEnable);
    } catch (const std::invalid_argument& e) {
        UT_LOGE_AT(process_line::kScheduledUnreadable, m_nModuleId, "Get Param Filed %s \n\n",
                   e.what());
        return false;
    }
    return scheduled == 0 || triggerCount != m_pUdpProcess->m_nRecord.load();
}

int CUdptransModule::Process(void* input, void* output) {
    // Only the store's std::invalid_argument for the two enable keys is
    // caught here; anything else a component or the framework throws passes
    // to the host, whose processing thread decides what a failed frame means.
    // Monotonic milliseconds rounded to the nearest, the clock of every time
    // stamp in the module.
    m_dStartTime = static_cast<double>(get_up_time());
    m_u64ProcessTimeUs = 0;

    UT_LOGI_AT(process_line::kStart, m_nModuleId, "udptrans Process start\n");

    // A frame before the module was started (or after its store failed to
    // load) has no engine or store to go to.
    if (m_pUdpProcess == nullptr || !m_pParamManage) {
        UT_LOGE(m_nModuleId, "udptrans not initialised, no data\r\n");
        return kUtErrNoData;
    }

    const QF_FRAME_DATA_PTR frame = QF_M_Get_Frame_ByID(input, UDPTRANS_FRAME_RECORD_ID);
    if (!frame) {
        UT_LOGE_AT(process_line::kNoFrame, m_nModuleId, "get frame by id failed, no data\r\n");
        return kUtErrNoData;
    }
    const auto frameIt = frame->mapInt.find(Keys().frameCnt);
    if (frameIt == frame->mapInt.end()) {
        UT_LOGE_AT(process_line::kNoFrameCnt, m_nModuleId,
                   "get subscribe " UDPTRANS_FRAME_COUNT " failed, no data\r\n");
        return kUtErrNoData;
    }
    const int frameCount = frameIt->second;
    const auto triggerIt = frame->mapInt.find(Keys().triggerCnt);
    if (triggerIt == frame->mapInt.end()) {
        UT_LOGE_AT(process_line::kNoTriggerCnt, m_nModuleId,
                   "get subscribe " UDPTRANS_FRAME_TRIGGER_COUNT " failed, no data\r\n");
        return kUtErrNoData;
    }
    const int triggerCount = triggerIt->second;

    const QF_FRAME_DATA_PTR inputRecord = QF_M_Get_Frame_ByHInput(input, UDPTRANS_FRAME_RESULT);
    std::shared_ptr<Infra::CBaseBuffer> buffer;
    if (inputRecord) {
        const auto bufIt = inputRecord->mapBuffer.find(Keys().objBinary);
        if (bufIt != inputRecord->mapBuffer.end()) {
            buffer = bufIt->second;  // held to the end: the engine copies from it
        }
    }
    // An entry that holds no buffer is as good as no entry.
    if (!buffer) {
        UT_LOGE_AT(process_line::kNoObjBinary, m_nModuleId,
                   "get subscribe " UDPTRANS_FRAME_RESULT " failed, no data\r\n");
        return kUtErrNoData;
    }

    int32_t algoEnable = 0;
    try {
        algoEnable = ReadInt(*m_pParamManage, Keys().algoEnable);
    } catch (const std::invalid_argument& e) {
        UT_LOGE_AT(process_line::kAlgoEnableUnreadable, m_nModuleId, "Get Param Filed %s \n\n",
                   e.what());
        return kUtErrInvalidArg;
    }

    int result = kUtErrNoData;
    if (!PassSendGate(triggerCount)) {
        UT_LOGE_AT(process_line::kGateClosed, m_nModuleId, "get subscribe failed, no data\r\n");
        UT_LOGE_AT(process_line::kGateRecord, m_nModuleId, "nTrigger:%d, m_nRecord:%d\r\n",
                   triggerCount, m_pUdpProcess->m_nRecord.load());
    } else {
        // The output record is fetched before the engine hears of the frame,
        // so that a frame without one changes nothing anywhere.
        const QF_FRAME_DATA_PTR outputRecord = QF_M_Get_Frame_ByHOutput(output);
        if (!outputRecord) {
            UT_LOGE(m_nModuleId, "get output frame failed, no data\r\n");
        } else {
            m_pUdpProcess->SetFrameAndTrigger(frameCount, triggerCount, algoEnable);
            int status = 0;
            if (algoEnable != 0) {
                // An empty block has no data pointer; the engine still gets a
                // valid address so that its copy of 0 bytes is well defined.
                static const unsigned char kNoBytes[1] = {0};
                const void* data = buffer->GetData();
                status = m_pUdpProcess->InsertSendMsg(data != nullptr ? data : kNoBytes,
                                                      buffer->GetLength()) == 0
                             ? 1
                             : 0;
            }
            outputRecord->mapInt[Keys().status] = status;
            std::vector<int>& statusVec = outputRecord->mapIntVec[Keys().paramStatus];
            if (statusVec.empty()) {
                statusVec.push_back(status);
            } else {
                statusVec[0] = status;
            }
            result = 0;
        }
    }

    UT_LOGI_AT(process_line::kEnd, m_nModuleId, "udptrans Process end\n");
    UpProcessTime();
    return result;
}

}  // namespace udp

// ---- Factory -------------------------------------------------------------------

extern "C" UDPTRANS_API CAbstractUserModule* CreateModule() {
    // If construction throws, the new-expression releases the memory and the
    // exception passes on to the host.
    return new udp::CUdptransModule();
}

extern "C" UDPTRANS_API void DestroyModule(void* /*host*/, void* module) {
    if (module == nullptr) {
        return;
    }
    // The host hands back what CreateModule returned: the base pointer, which
    // is the module's own address under single inheritance.
    delete static_cast<CAbstractUserModule*>(module);
}
