// CAlgo: the framework base of every module.
//
// It owns the parameter store, implements the framework's share of the module
// interface, and runs the start-up sequence: CAlgo::Init() loads the
// parameter description (shipped beside the module's shared object as
// "<module name>.pdesc"), loads the store ("<module name>.param" in the
// working folder m_strPwd, created from the defaults when absent) and then
// calls the module's InitAlgoPrivate().
//
// Threads: the host's threads; CAlgo takes no lock beyond the store's own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "algo/AbstractUserModule.h"
#include "algo/AlgoExport.h"
#include "algo/ParamManage.h"

class ALGO_API CRoiManage {
public:
    CRoiManage();
    ~CRoiManage();
    std::vector<std::string> m_vecRoi;
};

class ALGO_API CAlgo : public CAbstractUserModule {
public:
    CAlgo();
    ~CAlgo() override;

    // Loads description and store, then InitAlgoPrivate(); its result, or an
    // error code (with a line on stderr) when the store cannot be set up.
    int Init();

    // Where Init looks for the description; empty (the default) means beside
    // the shared object that holds the module's code.
    void SetDescriptionPath(const std::string& path);

    int UpdatePwd(const char* pwd) override;
    int SetModuleId(int id) override;
    int GetAllParam(PARAM_VALUE_INFO_LIST* list) override;
    int GetParamNum() override;
    int GetSingleParam(int index, PARAM_VALUE_INFO* info) override;
    int GetSubParam(SUB_VALUE_INFO_LIST* list) override;
    int GetSubHeadParam(SUB_HEAD_INFO_LIST* list) override;
    int GetPubParam(PUB_VALUE_INFO_LIST* list) override;
    int GetPubHeadParam(PUB_HEAD_INFO_LIST* list) override;
    int GetSubParamNum() override;
    int GetSingleSubParam(int index, SUB_VALUE_INFO* info) override;
    int GetSubHeadParamNum() override;
    int GetSingleSubHeadParam(int index, HEAD_INFO* info) override;
    int GetPubParamNum() override;
    int GetSinglePubParam(int index, PUB_VALUE_INFO* info) override;
    int GetPubHeadParamNum() override;
    int GetSinglePubHeadParam(int index, HEAD_INFO* info) override;
    int GetDisplayFileData(char* buffer, int size, int* length) override;
    int SetDisplayFileData(char* buffer, int length) override;
    int SetLogLevel(eLOG_LEVEL, eLOG_CHANNEL) override { return 0; }
    int GetDebugInfo(MODULE_DEBUG_INFO* info) override {
        return info == nullptr ? ALGO_E_INVALID_ARG : 0;
    }
    int AlgoPlayCtrl(eALGO_PLAYCTRL ctrl) override;
    int GetRunningInfo(MODULE_RUNNING_INFO* info) override;
    int ResetResultInfo() override;

    // Hooks for the module, after the interface of CAbstractUserModule.
    virtual void UpdatePwdPrivate(const char* pwd) = 0;
    virtual int AlgoPlayCtrlPrivate(eALGO_PLAYCTRL ctrl);
    virtual int InitAlgoPrivate() = 0;
    virtual int InitAbility(int type, std::string text);
    virtual int InitROI(int type, std::string name, std::string text);
    virtual int InitPM(int type, std::string name, std::string text);
    virtual int InitIO(int type, std::string text);
    virtual int InitDISP(int type, std::string text);
    virtual int InitResult(int type);

protected:
    char m_szModuleName[64];
    int32_t m_nModuleId;
    std::string m_strPwd;
    std::shared_ptr<CParamManage> m_pParamManage;
    std::string m_strDescriptionPath;
    std::string m_strProcedureName;
    std::vector<std::string> m_vecDisplayData;
    CRoiManage m_roiManage;
};
