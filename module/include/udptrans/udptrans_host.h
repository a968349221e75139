/*
 * The host side of libudptrans.so: every name and number a host program needs
 * to load the module, hand it frames and set it up, without reading its
 * sources. Plain constants, usable from C and C++. docs/writing-a-host.md
 * (installed under share/doc/udptrans) walks through them with a complete
 * example host.
 *
 * Call order, in short (all on one host thread unless noted):
 *   dlopen(UDPTRANS_MODULE_FILE); dlsym the two factory functions;
 *   register both components (UDPTRANS_COMPONENT_*) in the component pool;
 *   module = CreateModule(); module->SetModuleId(id);
 *   module->SetPwd(working folder)        starts the module (its two tasks);
 *   module->Process(input, output)        per frame, the processing thread;
 *   module->SetParam / GetParam           any host thread, until DestroyModule;
 *   DestroyModule(NULL, module)           stops and joins the tasks, frees it;
 *   unregister the components;
 *   CCommProxy::getInstance().WaitIdle()  no reply callback of the module left;
 *   dlclose.
 */
#ifndef UDPTRANS_UDPTRANS_HOST_H
#define UDPTRANS_UDPTRANS_HOST_H

#include "udptrans/udptrans_version.h"

/* Result codes are 32-bit values the module returns as int. */
#ifdef __cplusplus
#define UDPTRANS_CODE_(value) static_cast<int>(value)
#else
#define UDPTRANS_CODE_(value) ((int)(value))
#endif

/* ---- The module's files and exported names ---------------------------------
 * The framework reads the parameter description from beside the shared
 * object and keeps the values in the store file in the working folder that
 * SetPwd names (created with the description's defaults when absent; keys the
 * file lacks take their defaults). The store file holds "Key=value" lines. */
#define UDPTRANS_MODULE_NAME "udptrans"
#define UDPTRANS_MODULE_FILE "libudptrans.so"
#define UDPTRANS_DESCRIPTION_FILE "udptrans.pdesc"
#define UDPTRANS_STORE_FILE "udptrans.param"
/* CAbstractUserModule* CreateModule(void): a new, stopped module. */
#define UDPTRANS_SYMBOL_CREATE "CreateModule"
/* void DestroyModule(void* unused, void* module): stops and frees the module;
 * the first argument is ignored (pass NULL), a NULL module does nothing. */
#define UDPTRANS_SYMBOL_DESTROY "DestroyModule"
/* Log ids a host may give SetModuleId (the module's log lines carry it). */
#define UDPTRANS_MODULE_ID_MIN 0
#define UDPTRANS_MODULE_ID_MAX 299

/* ---- Frame records -----------------------------------------------------------
 * Process(input, output) takes a QF_FRAME_INPUT* and a QF_FRAME_OUTPUT*
 * (algo/FrameData.h). The module reads: */
/* Frame record UDPTRANS_FRAME_RECORD_ID of the input (vecFrame[0]), integer
 * table: the frame counter and the count of the trigger that took the frame. */
#define UDPTRANS_FRAME_RECORD_ID 0
#define UDPTRANS_FRAME_COUNT "SINGLE_frame_cnt"
#define UDPTRANS_FRAME_TRIGGER_COUNT "SINGLE_trigger_cnt"
/* The result block: input record of this name (mapInput), buffer table entry
 * of the same name. Its first UDPTRANS_RESULT_MAX_BYTES bytes go out as one
 * datagram, nothing added. */
#define UDPTRANS_FRAME_RESULT "SINGLE_obj_binary"
#define UDPTRANS_RESULT_MAX_BYTES 1028
/* Written into the output record when Process returns 0: the send status in
 * the integer table, and as element 0 of the integer-vector entry (appended
 * when the vector is empty, later elements left alone). */
#define UDPTRANS_FRAME_STATUS "SINGLE_status"
#define UDPTRANS_FRAME_PARAM_STATUS "SINGLE_param_status"
#define UDPTRANS_STATUS_SENT 1     /* handed to the transport */
#define UDPTRANS_STATUS_NOT_SENT 0 /* "AlgoEnable" is 0: nothing sent */

/* ---- Components the host publishes -----------------------------------------
 * Both must be registered in Infra::Component::CComObjectPool under these
 * names before the first frame: without either, every frame is refused with
 * UDPTRANS_E_NO_DATA. Interfaces in algo/AppComponents.h; their getters
 * return 0 with the value written. The module's own tasks call them too, so
 * they must answer from any thread and stay registered until DestroyModule
 * has returned. */
#define UDPTRANS_COMPONENT_TRIGGER_SOURCE "ITriggerSource.local"
#define UDPTRANS_COMPONENT_IMAGE_PROCESS "IImageProcess.local"
/* ITriggerSource::GetIntParam: 1 = triggered acquisition. */
#define UDPTRANS_TRIGGER_MODE "TriggerMode"
/* ITriggerSource::GetIntParam: count of the latest trigger, counting the same
 * triggers as UDPTRANS_FRAME_TRIGGER_COUNT. */
#define UDPTRANS_TRIGGER_COUNT "TriggerCount"
/* ITriggerSource::GetStringParam: decimal monotonic milliseconds (the clock
 * of get_up_time) at which the latest trigger's image was taken. */
#define UDPTRANS_TRIGGER_IMAGE_TIME "TriggerImageTime"
/* IImageProcess::GetIntParam: 1 = frames come from a test image. */
#define UDPTRANS_IMAGE_TEST_IMAGE "EnableTestImage"

/* ---- Parameters --------------------------------------------------------------
 * SetParam(key, text, strlen(text)) and GetParam(key, buffer, size, &length)
 * take and give values as text. A value SetParam accepts is in force at once
 * and saved in the store file (the endpoint keys only when the transport took
 * them); initialisation reads them back on the next start. For each key: the
 * name, its type, the default the shipped description gives and its range
 * (integers: lowest and highest value; texts: longest length). */
#define UDPTRANS_PARAM_TYPE_INT 0    /* decimal integer within [MIN, MAX] */
#define UDPTRANS_PARAM_TYPE_IPV4 1   /* dotted IPv4 text */
#define UDPTRANS_PARAM_TYPE_STRING 2 /* text of at most MAX_LENGTH characters */
#define UDPTRANS_PARAM_COUNT 13

/* The device's own address, for display only: configures nothing.
 * GetParam and UpSingleParam read it from interface "eth0". */
#define UDPTRANS_PARAM_HOST_IP "HostIp"
#define UDPTRANS_PARAM_HOST_IP_TYPE UDPTRANS_PARAM_TYPE_IPV4
#define UDPTRANS_PARAM_HOST_IP_DEFAULT "0.0.0.0"

/* Local port of the message endpoint (results, heartbeat in mode 1, commands
 * in). A taken port steps upward until a bind succeeds; GetParam answers the
 * port really bound. A change re-binds and waits for it (up to 2 s). */
#define UDPTRANS_PARAM_HOST_PORT "HostPort"
#define UDPTRANS_PARAM_HOST_PORT_TYPE UDPTRANS_PARAM_TYPE_INT
#define UDPTRANS_PARAM_HOST_PORT_DEFAULT 8192
#define UDPTRANS_PARAM_HOST_PORT_MIN 1
#define UDPTRANS_PARAM_HOST_PORT_MAX 65535

/* Destination address of the results and command answers, dotted IPv4 text;
 * one that reads as 0.0.0.0 is refused (UDPTRANS_E_BAD_VALUE). GetParam
 * writes nothing for it (GetAllParam lists the stored text). */
#define UDPTRANS_PARAM_TARGET_IP "TargetIp"
#define UDPTRANS_PARAM_TARGET_IP_TYPE UDPTRANS_PARAM_TYPE_STRING
#define UDPTRANS_PARAM_TARGET_IP_DEFAULT "127.0.0.1"
#define UDPTRANS_PARAM_TARGET_IP_MAX_LENGTH 15

/* Destination port of the results and command answers. */
#define UDPTRANS_PARAM_TARGET_PORT "TargetPort"
#define UDPTRANS_PARAM_TARGET_PORT_TYPE UDPTRANS_PARAM_TYPE_INT
#define UDPTRANS_PARAM_TARGET_PORT_DEFAULT 9000
#define UDPTRANS_PARAM_TARGET_PORT_MIN 1
#define UDPTRANS_PARAM_TARGET_PORT_MAX 65535

/* Local port of the heartbeat endpoint (heartbeat in mode 2); like HostPort. */
#define UDPTRANS_PARAM_HOST_HEARTBEAT_PORT "HostHeartbeatPort"
#define UDPTRANS_PARAM_HOST_HEARTBEAT_PORT_TYPE UDPTRANS_PARAM_TYPE_INT
#define UDPTRANS_PARAM_HOST_HEARTBEAT_PORT_DEFAULT 8193
#define UDPTRANS_PARAM_HOST_HEARTBEAT_PORT_MIN 1
#define UDPTRANS_PARAM_HOST_HEARTBEAT_PORT_MAX 65535

/* Destination address of the heartbeat in mode 2; like TargetIp. */
#define UDPTRANS_PARAM_TARGET_HEARTBEAT_IP "TargetHeartbeatIp"
#define UDPTRANS_PARAM_TARGET_HEARTBEAT_IP_TYPE UDPTRANS_PARAM_TYPE_STRING
#define UDPTRANS_PARAM_TARGET_HEARTBEAT_IP_DEFAULT "127.0.0.1"
#define UDPTRANS_PARAM_TARGET_HEARTBEAT_IP_MAX_LENGTH 15

/* Destination port of the heartbeat in mode 2. */
#define UDPTRANS_PARAM_TARGET_HEARTBEAT_PORT "TargetHeartbeatPort"
#define UDPTRANS_PARAM_TARGET_HEARTBEAT_PORT_TYPE UDPTRANS_PARAM_TYPE_INT
#define UDPTRANS_PARAM_TARGET_HEARTBEAT_PORT_DEFAULT 9001
#define UDPTRANS_PARAM_TARGET_HEARTBEAT_PORT_MIN 1
#define UDPTRANS_PARAM_TARGET_HEARTBEAT_PORT_MAX 65535

/* 1: results go out (status 1); 0: nothing is sent (status 0), no
 * heartbeat, the message endpoint is closed and neither host port can be
 * changed (the transport does not serve its ports while disabled). */
#define UDPTRANS_PARAM_ALGO_ENABLE "AlgoEnable"
#define UDPTRANS_PARAM_ALGO_ENABLE_TYPE UDPTRANS_PARAM_TYPE_INT
#define UDPTRANS_PARAM_ALGO_ENABLE_DEFAULT 1
#define UDPTRANS_PARAM_ALGO_ENABLE_MIN 0
#define UDPTRANS_PARAM_ALGO_ENABLE_MAX 1

/* 1: in triggered acquisition each trigger gets one answer
 * ScheduledTransTime ms after its image: the oldest held result, or "NG". */
#define UDPTRANS_PARAM_SCHEDULED_TRANS_ENABLE "ScheduledTransEnable"
#define UDPTRANS_PARAM_SCHEDULED_TRANS_ENABLE_TYPE UDPTRANS_PARAM_TYPE_INT
#define UDPTRANS_PARAM_SCHEDULED_TRANS_ENABLE_DEFAULT 0
#define UDPTRANS_PARAM_SCHEDULED_TRANS_ENABLE_MIN 0
#define UDPTRANS_PARAM_SCHEDULED_TRANS_ENABLE_MAX 1

/* Delay of the scheduled answer after the trigger's image time, ms. */
#define UDPTRANS_PARAM_SCHEDULED_TRANS_TIME "ScheduledTransTime"
#define UDPTRANS_PARAM_SCHEDULED_TRANS_TIME_TYPE UDPTRANS_PARAM_TYPE_INT
#define UDPTRANS_PARAM_SCHEDULED_TRANS_TIME_DEFAULT 100
#define UDPTRANS_PARAM_SCHEDULED_TRANS_TIME_MIN 0
#define UDPTRANS_PARAM_SCHEDULED_TRANS_TIME_MAX 60000

/* Heartbeat: 0 off, 1 from the message endpoint to the message target,
 * 2 from the heartbeat endpoint to the heartbeat target. */
#define UDPTRANS_PARAM_HEARTBEAT_TRAN_MODE "HeartbeatTranMode"
#define UDPTRANS_PARAM_HEARTBEAT_TRAN_MODE_TYPE UDPTRANS_PARAM_TYPE_INT
#define UDPTRANS_PARAM_HEARTBEAT_TRAN_MODE_DEFAULT 1
#define UDPTRANS_PARAM_HEARTBEAT_TRAN_MODE_MIN 0
#define UDPTRANS_PARAM_HEARTBEAT_TRAN_MODE_MAX 2
#define UDPTRANS_HEARTBEAT_OFF 0
#define UDPTRANS_HEARTBEAT_MESSAGE_PORT 1
#define UDPTRANS_HEARTBEAT_OWN_PORT 2

/* The heartbeat datagram's bytes, exactly. */
#define UDPTRANS_PARAM_HEARTBEAT_TEXT "HeartbeatText"
#define UDPTRANS_PARAM_HEARTBEAT_TEXT_TYPE UDPTRANS_PARAM_TYPE_STRING
#define UDPTRANS_PARAM_HEARTBEAT_TEXT_DEFAULT "HEARTBEAT"
#define UDPTRANS_PARAM_HEARTBEAT_TEXT_MAX_LENGTH 32

/* Seconds without any datagram out before a heartbeat goes. Nothing has gone
 * out at start, so the first heartbeat leaves right after SetPwd. */
#define UDPTRANS_PARAM_HEARTBEAT_INTERVAL "HeartbeatInterval"
#define UDPTRANS_PARAM_HEARTBEAT_INTERVAL_TYPE UDPTRANS_PARAM_TYPE_INT
#define UDPTRANS_PARAM_HEARTBEAT_INTERVAL_DEFAULT 2
#define UDPTRANS_PARAM_HEARTBEAT_INTERVAL_MIN 1
#define UDPTRANS_PARAM_HEARTBEAT_INTERVAL_MAX 86400

/* The keys by kind, in the description's order: X(ID) for each, where
 * UDPTRANS_PARAM_##ID is the key and UDPTRANS_PARAM_##ID##_DEFAULT, _MIN,
 * _MAX or _MAX_LENGTH its values. */
/* clang-format off */
#define UDPTRANS_PARAM_INT_KEYS(X) \
    X(HOST_PORT)                 \
    X(TARGET_PORT)               \
    X(HOST_HEARTBEAT_PORT)       \
    X(TARGET_HEARTBEAT_PORT)     \
    X(ALGO_ENABLE)               \
    X(SCHEDULED_TRANS_ENABLE)    \
    X(SCHEDULED_TRANS_TIME)      \
    X(HEARTBEAT_TRAN_MODE)       \
    X(HEARTBEAT_INTERVAL)
#define UDPTRANS_PARAM_STRING_KEYS(X) X(TARGET_IP) X(TARGET_HEARTBEAT_IP) X(HEARTBEAT_TEXT)
#define UDPTRANS_PARAM_IPV4_KEYS(X) X(HOST_IP)
/* All thirteen, in the description's order (GetAllParam lists them so). */
#define UDPTRANS_PARAM_KEYS(X) \
    X(HOST_IP)                   \
    X(HOST_PORT)                 \
    X(TARGET_IP)                 \
    X(TARGET_PORT)               \
    X(HOST_HEARTBEAT_PORT)       \
    X(TARGET_HEARTBEAT_IP)       \
    X(TARGET_HEARTBEAT_PORT)     \
    X(ALGO_ENABLE)               \
    X(SCHEDULED_TRANS_ENABLE)    \
    X(SCHEDULED_TRANS_TIME)      \
    X(HEARTBEAT_TRAN_MODE)       \
    X(HEARTBEAT_TEXT)            \
    X(HEARTBEAT_INTERVAL)
/* clang-format on */

/* ---- Result codes ----------------------------------------------------------
 * What the module's operations return to the host, and what each means. */
#define UDPTRANS_OK 0
/* A null or empty argument, a length of 0, a parameter call before SetPwd,
 * a description that lacks a key at start, or "AlgoEnable" unreadable in
 * Process.
 * Nothing was changed: fix the call. */
#define UDPTRANS_E_INVALID_ARG UDPTRANS_CODE_(0xE0000001u)
/* Process: the frame was not sent and the outputs are untouched: a frame
 * record, counter or result block is missing, a component is not
 * registered, or scheduled transmission has already answered this trigger.
 * Not fatal: go on with the next frame. */
#define UDPTRANS_E_NO_DATA UDPTRANS_CODE_(0xC0000004u)
/* SetParam/GetParam: the key is not one of the module's parameters. */
#define UDPTRANS_E_UNKNOWN_KEY UDPTRANS_CODE_(0xE0000101u)
/* SetParam: the text is not a value of the key's type and range (a port of
 * 0, a target address 0.0.0.0 included); nothing changed. Also SetPwd, when
 * the shipped description itself is damaged. */
#define UDPTRANS_E_BAD_VALUE UDPTRANS_CODE_(0xE0000102u)
/* SetParam of a target address: not four decimal octets; nothing changed. */
#define UDPTRANS_E_ADDRESS UDPTRANS_CODE_(0xE0000103u)
/* GetSingleParam: no parameter at that index. */
#define UDPTRANS_E_BAD_INDEX UDPTRANS_CODE_(0xE0000104u)
/* SetPwd: the description is missing beside the module, or the working
 * folder cannot be created; the module is not started. SetParam: the value
 * is in force but the store file could not be saved. */
#define UDPTRANS_E_STORE_IO UDPTRANS_CODE_(0xE0000105u)
/* UpSingleParam("HostIp"): interface "eth0" has no IPv4 address. */
#define UDPTRANS_E_HOST_ADDRESS UDPTRANS_CODE_(0xE0000400u)
/* SetParam of a target address that the transport cannot use
 * (255.255.255.255); nothing changed. */
#define UDPTRANS_E_ADDRESS_UNUSABLE (-2)
/* SetParam of HostPort/HostHeartbeatPort: the transport did not confirm the
 * new port within 2 s (taken, or "AlgoEnable" is 0); nothing stored. */
#define UDPTRANS_E_PORT_NOT_CONFIRMED (-5)
/* SetPwd: the message task (-1) or the heartbeat task (-2) could not be
 * started; DestroyModule and retry, or report the system's thread limit. */
#define UDPTRANS_E_MSG_TASK (-1)
#define UDPTRANS_E_HEARTBEAT_TASK (-2)

/* ---- The module's own threads ----------------------------------------------
 * Started by SetPwd, joined by DestroyModule (and by a re-start). */
#define UDPTRANS_THREAD_MESSAGE "udp_input_task" /* priority 60 */
#define UDPTRANS_THREAD_HEARTBEAT "udp_out_task" /* priority 40 */
/* Datagrams arriving on the message endpoint are read up to this size and
 * handed as text to CCommProxy::AsynRecv (MessageInfo::szMsg keeps its first
 * 127 characters); the proxy's answers go to the message target. */
#define UDPTRANS_COMMAND_MAX_BYTES 256

#endif /* UDPTRANS_UDPTRANS_HOST_H */
