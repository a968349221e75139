// Records and enums named by the module interface of the framework. The host
// passes them by pointer; the framework fills them. Plain data only.
#pragma once

#include <cstdint>

#include "algo/AlgoExport.h"

struct cJSON;  // the framework's JSON node; modules only pass pointers through

constexpr int ALGO_KEY_LEN = 64;
constexpr int ALGO_VALUE_LEN = 256;
constexpr int ALGO_LIST_MAX = 64;

struct PARAM_VALUE_INFO {
    char szKey[ALGO_KEY_LEN];
    char szValue[ALGO_VALUE_LEN];
    int32_t nType;
};

struct PARAM_VALUE_INFO_LIST {
    int32_t nNum;
    PARAM_VALUE_INFO stParam[ALGO_LIST_MAX];
};

struct PARAM_2DIM_VALUE_INFO_LIST {
    int32_t nNum;
    PARAM_VALUE_INFO stParam[ALGO_LIST_MAX];
};

struct HEAD_INFO {
    char szName[ALGO_KEY_LEN];
    int32_t nType;
};

struct SUB_VALUE_INFO {
    char szName[ALGO_KEY_LEN];
    char szValue[ALGO_VALUE_LEN];
};

struct SUB_VALUE_INFO_LIST {
    int32_t nNum;
    SUB_VALUE_INFO stSub[ALGO_LIST_MAX];
};

struct SUB_HEAD_INFO_LIST {
    int32_t nNum;
    HEAD_INFO stHead[ALGO_LIST_MAX];
};

struct PUB_VALUE_INFO {
    char szName[ALGO_KEY_LEN];
    char szValue[ALGO_VALUE_LEN];
};

struct PUB_VALUE_INFO_LIST {
    int32_t nNum;
    PUB_VALUE_INFO stPub[ALGO_LIST_MAX];
};

struct PUB_HEAD_INFO_LIST {
    int32_t nNum;
    HEAD_INFO stHead[ALGO_LIST_MAX];
};

struct DYNAMIC_SUBSCRIBE_PARAM {
    char szName[ALGO_KEY_LEN];
    char szSource[ALGO_KEY_LEN];
};

struct DYNAMIC_PUBLISH_PARAM {
    char szName[ALGO_KEY_LEN];
    int32_t nType;
};

struct MODULE_DEBUG_INFO {
    int32_t nModuleId;
    char szInfo[ALGO_VALUE_LEN];
};

// Processing statistics kept by CAbstractUserModule::UpProcessTime.
struct MODULE_RUNNING_INFO {
    uint64_t nProcessCount;
    double dLastProcessMs;
    double dMaxProcessMs;
    double dTotalProcessMs;
};

enum eLOG_LEVEL : int32_t {
    LOG_LEVEL_DEBUG = 3,
    LOG_LEVEL_INFO = 4,
    LOG_LEVEL_ERROR = 6,
    LOG_LEVEL_OFF = 8,
};

enum eLOG_CHANNEL : int32_t {
    LOG_CHANNEL_CONSOLE = 0,
    LOG_CHANNEL_FILE = 1,
};

enum eALGO_PLAYCTRL : int32_t {
    ALGO_PLAYCTRL_STOP = 0,
    ALGO_PLAYCTRL_PLAY = 1,
    ALGO_PLAYCTRL_PAUSE = 2,
};
