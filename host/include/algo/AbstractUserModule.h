// CAbstractUserModule: the interface through which the host drives a module.
//
// The host knows a module only as this class and calls its operations by
// vtable position, so the declaration order below is the ABI and must never
// change. Operations that the framework implements itself are defined in
// libalgo.so; the rest are left to CAlgo or to the module.
//
// Threads: the host calls Process on its processing thread, one frame at a
// time; parameter operations may come from other host threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "algo/AlgoExport.h"
#include "algo/AlgoTypes.h"

class ALGO_API CAbstractUserModule {
public:
    CAbstractUserModule();
    virtual ~CAbstractUserModule();

    CAbstractUserModule(const CAbstractUserModule&) = delete;
    CAbstractUserModule& operator=(const CAbstractUserModule&) = delete;

    virtual int Process(void* input, void* output) = 0;
    virtual int SetPwd(const char* pwd) = 0;
    virtual int UpdatePwd(const char* pwd) = 0;
    virtual int SetModuleId(int id) = 0;
    virtual int SetProcedureName(const char* name) = 0;
    virtual int GetParam(const char* key, char* buffer, int size, int* length) = 0;
    virtual int SetParam(const char* key, const char* value, int length) = 0;
    virtual int GetAllParam(PARAM_VALUE_INFO_LIST* list) = 0;
    virtual int GetParamNum() = 0;
    virtual int GetSingleParam(int index, PARAM_VALUE_INFO* info) = 0;
    virtual int UpSingleParam(const char* key, bool flag) = 0;
    virtual int UpAllParam(bool flag);
    virtual int Get2DimParamNum(int index);
    virtual int Set2DimParamNum(int index, int num);
    virtual int Add2DimParam(int index, int pos);
    virtual int Del2DimParam(int index, int pos);
    virtual int GetSingle2DimParam(int index, int pos, PARAM_VALUE_INFO* info);
    virtual int Get2DimParam(const char* key, int pos, char* buffer, int size, int* length);
    virtual int Set2DimParam(const char* key, int pos, const char* value, int length);
    virtual int GetAll2DimParam(PARAM_2DIM_VALUE_INFO_LIST* list);
    virtual int GetSubParamHeadPub(cJSON** json);
    virtual int GetSubParamHeadSub(cJSON** json);
    virtual int GetSubParam(SUB_VALUE_INFO_LIST* list) = 0;
    virtual int GetSubHeadParam(SUB_HEAD_INFO_LIST* list) = 0;
    virtual int GetPubParam(PUB_VALUE_INFO_LIST* list) = 0;
    virtual int GetPubHeadParam(PUB_HEAD_INFO_LIST* list) = 0;
    virtual int GetSubParamNum() = 0;
    virtual int GetSingleSubParam(int index, SUB_VALUE_INFO* info) = 0;
    virtual int GetSubHeadParamNum() = 0;
    virtual int GetSingleSubHeadParam(int index, HEAD_INFO* info) = 0;
    virtual int GetPubParamNum() = 0;
    virtual int GetSinglePubParam(int index, PUB_VALUE_INFO* info) = 0;
    virtual int GetPubHeadParamNum() = 0;
    virtual int GetSinglePubHeadParam(int index, HEAD_INFO* info) = 0;
    virtual int GetDisplayFileData(char* buffer, int size, int* length) = 0;
    virtual int SetDisplayFileData(char* buffer, int length) = 0;
    virtual int GetDynamicSubScribeParamNum();
    virtual int GetDynamicSingleSubScribeParam(int index, DYNAMIC_SUBSCRIBE_PARAM* param);
    virtual int GetDynamicPublishParamNum();
    virtual int GetDynamicSinglePublishParam(int index, DYNAMIC_PUBLISH_PARAM* param);
    virtual int SetLogLevel(eLOG_LEVEL level, eLOG_CHANNEL channel) = 0;
    virtual int GetDebugInfo(MODULE_DEBUG_INFO* info) = 0;
    virtual int SetMsgCallback(int (*callback)(int, void*, void*, void*), void* user);
    virtual int AlgoPlayReady();
    virtual int AlgoPlayCtrl(eALGO_PLAYCTRL ctrl) = 0;
    virtual int AlgoNeedDLClose();
    virtual int GetRunningInfo(MODULE_RUNNING_INFO* info) = 0;
    virtual int ResetResultInfo() = 0;
    virtual int UpdateDsImgAddr(void* address);

    // Records the time since m_dStartTime (set by the module at the start of
    // Process, in monotonic milliseconds) into the running statistics.
    void UpProcessTime();

protected:
    double m_dStartTime;  // processing thread only: set by Process at frame start (ms)
    uint64_t
        m_u64ProcessTimeUs;  // processing thread only: cleared by Process, set by UpProcessTime
    // Running statistics. UpProcessTime, on the processing thread alone,
    // writes them under a sequence count (odd while a frame's update is under
    // way); GetRunningInfo, from any thread, reads them whole and retries
    // across an update. ResetResultInfo, from any thread, raises a request
    // that reads as all zeros at once and that the next update carries out.
    // So the per-frame update takes no lock.
    struct RunningStats {
        std::atomic<uint64_t> nSeq{0};
        std::atomic<uint64_t> nProcessCount{0};
        std::atomic<double> dLastProcessMs{0.0};
        std::atomic<double> dMaxProcessMs{0.0};
        std::atomic<double> dTotalProcessMs{0.0};
        std::atomic<uint64_t> nResetsApplied{0};    // under nSeq
        std::atomic<uint64_t> nResetsRequested{0};  // any thread adds one
    };
    MODULE_RUNNING_INFO ReadRunningInfo() const;
    void RequestRunningInfoReset();
    RunningStats m_stRunning;
    // Set by the host before it starts processing; read by the module only.
    int (*m_fnMsgCallback)(int, void*, void*, void*);
    void* m_pMsgCallbackUser;
};

// The two plain functions every module exports, unmangled.
extern "C" {
typedef CAbstractUserModule* (*CreateModuleFn)();
typedef void (*DestroyModuleFn)(void* host, void* module);
}
