// udp::CUdptransModule: the plug-in module object of libudptrans.so, the UDP
// output stage of the camera's processing chain.
//
// The host knows it only as a CAbstractUserModule: CreateModule builds it
// without an engine, SetPwd starts it (CAlgo::Init loads the parameter store
// and calls InitAlgoPrivate, which creates, configures and starts the
// transport engine), Process hands each frame's result block to the engine,
// SetParam/GetParam/UpSingleParam read and change the thirteen settings, and
// DestroyModule stops the engine before the module is freed.
//
// Threads: the host's processing thread calls Process, one frame at a time;
// the host's other threads call the parameter operations. The module takes no
// lock of its own: its only member, m_pUdpProcess, is written by SetPwd
// (InitAlgoPrivate) and by the destructor, which the host never runs
// concurrently with another operation of the same module; everything the
// engine shares with its tasks is atomic or locked inside the engine, and the
// parameter store locks itself.
//
// Exceptions: the module's own code throws none. What the framework or a
// component throws passes to the host: from construction (CreateModule), from
// the parameter store during start-up (SetPwd), from frame processing
// (Process), where only the store's std::invalid_argument for "AlgoEnable" or
// "ScheduledTransEnable" is caught and answered with a code.
#pragma once

#include <cstdint>
#include <string>

#include "algo/Algo.h"

namespace udp {

class CUdpProcess;

// Result codes towards the host.
constexpr int kUtErrInvalidArg = static_cast<int>(0xE0000001u);   // bad argument, read failure
constexpr int kUtErrAddrRefused = static_cast<int>(0xE0000103u);  // address text refused
constexpr int kUtErrHostAddr = static_cast<int>(0xE0000400u);     // eth0 has no address
constexpr int kUtErrNoData = static_cast<int>(0xC0000004u);       // frame not sent, no data
constexpr int kUtKeyNotHandled = static_cast<int>(0xC0000108u);   // internal: store-only key

class CUdptransModule : public CAlgo {
public:
    CUdptransModule();
    ~CUdptransModule() override;

    // ---- Operations the host calls through the base interface -------------
    // 0 handled (sent, or not sent because "AlgoEnable" is 0), kUtErrNoData
    // (outputs untouched), kUtErrInvalidArg ("AlgoEnable" unreadable); other
    // exceptions pass through.
    int Process(void* input, void* output) override;
    // Starts the module: result of CAlgo::Init(); kUtErrInvalidArg for null.
    // An exception of the store during initialisation passes through.
    int SetPwd(const char* pwd) override;
    int SetProcedureName(const char* name) override;
    int GetParam(const char* key, char* buffer, int size, int* length) override;
    int SetParam(const char* key, const char* value, int length) override;
    int UpSingleParam(const char* key, bool flag) override;

    // ---- Hooks of CAlgo ----------------------------------------------------
    void UpdatePwdPrivate(const char* pwd) override;
    // 0, or the engine's Init result. Reads and applies the keys one by one;
    // a key the store cannot give throws, and the exception passes through
    // with the engine as far as the steps before left it.
    int InitAlgoPrivate() override;
    int InitROI(int type, std::string name, std::string text) override;

    // Stops and frees the engine; 0 always, also when there is none.
    int DeInit();

    // ---- Parameter plumbing -------------------------------------------------
    // Endpoint keys go to their setter (result returned); any other key gives
    // kUtKeyNotHandled.
    int SetmoduParaHandle(const char* key, const char* value, int length);
    // Endpoint keys answered from the engine or eth0; any other key gives
    // kUtKeyNotHandled and writes nothing.
    int GetmoduParaHandle(const char* key, char* buffer, int size, int* length);
    // Stores and saves without validation; the store's or the save's code.
    int UpParam4All(const char* key, const char* value);

    int SetHostIp(const char* ip);
    int SetHostPort(int port);        // 0 or the engine's -5
    int SetTargetIp(const char* ip);  // 0, -1 null, kUtErrAddrRefused, -2
    int SetTargetPort(int port);
    int SetHostHeartbeatPort(int port);  // 0 or the engine's -5
    int SetTargetHeartbeatIp(const char* ip);
    int SetTargetHeartbeatPort(int port);

    int GetHostPort(int* port);
    int GetTargetIp(char* buffer, int size, int* length);
    int GetTargetPort(int* port);
    int GetHostHeartbeatPort(int* port);
    int GetTargetHeartbeatIp(char* buffer, int size, int* length);
    int GetTargetHeartbeatPort(int* port);

    // IPv4 address of `interface` in host byte order; 0 or -1.
    int get_ipaddr(const char* interface, unsigned int* address);
    // Dotted address of eth0 into `buffer` (at most 16 bytes, fewer when
    // `size` is smaller); 0 or -1 with `buffer` untouched. `length` is unused.
    int GetHostIp(char* buffer, int size, int* length);

private:
    // False when the frame's result must not go out (send gate).
    bool PassSendGate(int triggerCount);
    void ApplyEngineKey(const char* key, const char* value);
    int SetTargetAddress(const char* ip, bool heartbeat);

    // Owned. Null until the first InitAlgoPrivate; freed by DeInit. Written
    // only on the thread that starts or destroys the module.
    CUdpProcess* m_pUdpProcess;
};

}  // namespace udp
