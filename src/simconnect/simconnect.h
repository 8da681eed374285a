// Our declarations of the part of the simulator's client library (SimConnect) that the add-on
// uses: the nine functions, the message layouts it reads and the constants it passes; and what a
// SimConnect program outside the simulator needs besides (the open, exception and quit messages,
// SimConnect_GetLastSentPacketID). On 32-bit
// Windows they are binary compatible with the simulator's SimConnect.dll (stdcall functions
// exported under undecorated names, 4-byte message fields). The stand-in simulator implements
// the same declarations, so the add-on builds and runs against either.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define SIMCONNECT_CALL __stdcall
#else
#define SIMCONNECT_CALL
#endif

#if defined(VELKARO_SIMCONNECT_IMPLEMENTATION)
#if defined(_WIN32)
#define SIMCONNECT_API extern "C" __declspec(dllexport)
#else
#define SIMCONNECT_API extern "C" __attribute__((visibility("default")))
#endif
#else
#define SIMCONNECT_API extern "C"
#endif

using SIMCONNECT_DWORD = std::uint32_t;
// HRESULT: negative values are failures.
using SIMCONNECT_HRESULT = std::int32_t;
using SIMCONNECT_HANDLE = void*;

inline constexpr SIMCONNECT_DWORD SIMCONNECT_UNUSED = 0xFFFFFFFFu;
inline constexpr SIMCONNECT_DWORD SIMCONNECT_OBJECT_ID_USER = 0;
inline constexpr SIMCONNECT_DWORD SIMCONNECT_GROUP_PRIORITY_STANDARD = 1900000000u;
inline constexpr SIMCONNECT_DWORD SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY = 0x00000010u;
inline constexpr std::size_t SIMCONNECT_MAX_PATH = 260;

enum SIMCONNECT_RECV_ID : SIMCONNECT_DWORD {
  SIMCONNECT_RECV_ID_NULL = 0,
  SIMCONNECT_RECV_ID_EXCEPTION = 1,
  SIMCONNECT_RECV_ID_OPEN = 2,
  SIMCONNECT_RECV_ID_QUIT = 3,
  SIMCONNECT_RECV_ID_EVENT = 4,
  SIMCONNECT_RECV_ID_EVENT_OBJECT_ADDREMOVE = 5,
  SIMCONNECT_RECV_ID_EVENT_FILENAME = 6,
  SIMCONNECT_RECV_ID_EVENT_FRAME = 7,
  SIMCONNECT_RECV_ID_SIMOBJECT_DATA = 8,
  SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE = 9,
  SIMCONNECT_RECV_ID_SYSTEM_STATE = 15,
};

// Why the simulator refused a call (SIMCONNECT_RECV_EXCEPTION::dwException); the values that
// precede those named here are the SDK's too.
enum SIMCONNECT_EXCEPTION : SIMCONNECT_DWORD {
  SIMCONNECT_EXCEPTION_NONE = 0,
  SIMCONNECT_EXCEPTION_ERROR = 1,
  SIMCONNECT_EXCEPTION_SIZE_MISMATCH = 2,
  SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID = 3,
  SIMCONNECT_EXCEPTION_UNOPENED = 4,
  SIMCONNECT_EXCEPTION_VERSION_MISMATCH = 5,
  SIMCONNECT_EXCEPTION_TOO_MANY_GROUPS = 6,
  SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED = 7,
  SIMCONNECT_EXCEPTION_TOO_MANY_EVENT_NAMES = 8,
  SIMCONNECT_EXCEPTION_EVENT_ID_DUPLICATE = 9,
  SIMCONNECT_EXCEPTION_TOO_MANY_MAPS = 10,
};

enum SIMCONNECT_DATATYPE : SIMCONNECT_DWORD {
  SIMCONNECT_DATATYPE_INVALID = 0,
  SIMCONNECT_DATATYPE_INT32 = 1,
  SIMCONNECT_DATATYPE_INT64 = 2,
  SIMCONNECT_DATATYPE_FLOAT32 = 3,
  SIMCONNECT_DATATYPE_FLOAT64 = 4,
  SIMCONNECT_DATATYPE_STRING8 = 5,
  SIMCONNECT_DATATYPE_STRING32 = 6,
  SIMCONNECT_DATATYPE_STRING64 = 7,
  SIMCONNECT_DATATYPE_STRING128 = 8,
  SIMCONNECT_DATATYPE_STRING256 = 9,
};

enum SIMCONNECT_SIMOBJECT_TYPE : SIMCONNECT_DWORD {
  SIMCONNECT_SIMOBJECT_TYPE_USER = 0,
};

#pragma pack(push, 1)
struct SIMCONNECT_RECV {
  SIMCONNECT_DWORD dwSize;
  SIMCONNECT_DWORD dwVersion;
  SIMCONNECT_DWORD dwID;
};

struct SIMCONNECT_RECV_EXCEPTION : SIMCONNECT_RECV {
  SIMCONNECT_DWORD dwException;  // a SIMCONNECT_EXCEPTION
  SIMCONNECT_DWORD dwSendID;     // the send id of the call refused (SimConnect_GetLastSentPacketID)
  SIMCONNECT_DWORD dwIndex;      // the refused argument, counted from 1; 0 when unknown
};

struct SIMCONNECT_RECV_OPEN : SIMCONNECT_RECV {
  char szApplicationName[256];
  SIMCONNECT_DWORD dwApplicationVersionMajor;
  SIMCONNECT_DWORD dwApplicationVersionMinor;
  SIMCONNECT_DWORD dwApplicationBuildMajor;
  SIMCONNECT_DWORD dwApplicationBuildMinor;
  SIMCONNECT_DWORD dwSimConnectVersionMajor;
  SIMCONNECT_DWORD dwSimConnectVersionMinor;
  SIMCONNECT_DWORD dwSimConnectBuildMajor;
  SIMCONNECT_DWORD dwSimConnectBuildMinor;
  SIMCONNECT_DWORD dwReserved1;
  SIMCONNECT_DWORD dwReserved2;
};

// The simulator is closing: the last message a program receives.
struct SIMCONNECT_RECV_QUIT : SIMCONNECT_RECV {};

struct SIMCONNECT_RECV_EVENT : SIMCONNECT_RECV {
  SIMCONNECT_DWORD uGroupID;
  SIMCONNECT_DWORD uEventID;
  SIMCONNECT_DWORD dwData;
};

struct SIMCONNECT_RECV_EVENT_FILENAME : SIMCONNECT_RECV_EVENT {
  char szFileName[SIMCONNECT_MAX_PATH];
  SIMCONNECT_DWORD dwFlags;
};

struct SIMCONNECT_RECV_EVENT_FRAME : SIMCONNECT_RECV_EVENT {
  float fFrameRate;
  float fSimSpeed;
};

struct SIMCONNECT_RECV_SIMOBJECT_DATA : SIMCONNECT_RECV {
  SIMCONNECT_DWORD dwRequestID;
  SIMCONNECT_DWORD dwObjectID;
  SIMCONNECT_DWORD dwDefineID;
  SIMCONNECT_DWORD dwFlags;
  SIMCONNECT_DWORD dwentrynumber;
  SIMCONNECT_DWORD dwoutof;
  SIMCONNECT_DWORD dwDefineCount;
  SIMCONNECT_DWORD dwData;  // first 4 bytes of the record; the record continues past the struct
};

struct SIMCONNECT_RECV_SIMOBJECT_DATA_BYTYPE : SIMCONNECT_RECV_SIMOBJECT_DATA {};

struct SIMCONNECT_RECV_SYSTEM_STATE : SIMCONNECT_RECV {
  SIMCONNECT_DWORD dwRequestID;
  SIMCONNECT_DWORD dwInteger;
  float fFloat;
  char szString[SIMCONNECT_MAX_PATH];
};
#pragma pack(pop)

// The message structs derive from one another as in the SDK, which makes offsetof on them
// conditionally supported; the compilers the add-on is built with support it.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
static_assert(sizeof(SIMCONNECT_RECV) == 12);
static_assert(sizeof(SIMCONNECT_RECV_EXCEPTION) == 24);
static_assert(offsetof(SIMCONNECT_RECV_EXCEPTION, dwSendID) == 16);
static_assert(sizeof(SIMCONNECT_RECV_OPEN) == 308);
static_assert(sizeof(SIMCONNECT_RECV_QUIT) == 12);
static_assert(sizeof(SIMCONNECT_RECV_EVENT) == 24);
static_assert(offsetof(SIMCONNECT_RECV_EVENT_FILENAME, szFileName) == 24);
static_assert(sizeof(SIMCONNECT_RECV_EVENT_FILENAME) == 288);
static_assert(sizeof(SIMCONNECT_RECV_EVENT_FRAME) == 32);
static_assert(offsetof(SIMCONNECT_RECV_SIMOBJECT_DATA, dwData) == 40);
static_assert(offsetof(SIMCONNECT_RECV_SYSTEM_STATE, szString) == 24);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

using SIMCONNECT_DISPATCH_PROC = void(SIMCONNECT_CALL*)(SIMCONNECT_RECV* pData,
                                                        SIMCONNECT_DWORD cbData, void* pContext);

SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_Open(SIMCONNECT_HANDLE* phSimConnect,
                                                                  const char* szName, void* hWnd,
                                                                  SIMCONNECT_DWORD UserEventWin32,
                                                                  void* hEventHandle,
                                                                  SIMCONNECT_DWORD ConfigIndex);
SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_Close(SIMCONNECT_HANDLE hSimConnect);
SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_AddToDataDefinition(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD DefineID, const char* DatumName,
    const char* UnitsName, SIMCONNECT_DATATYPE DatumType, float fEpsilon, SIMCONNECT_DWORD DatumID);
SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_SubscribeToSystemEvent(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD EventID, const char* SystemEventName);
SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_CallDispatch(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DISPATCH_PROC pfcnDispatch, void* pContext);
SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_RequestDataOnSimObjectType(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD RequestID, SIMCONNECT_DWORD DefineID,
    SIMCONNECT_DWORD dwRadiusMeters, SIMCONNECT_SIMOBJECT_TYPE type);
SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_RequestSystemState(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD RequestID, const char* szState);
SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_MapClientEventToSimEvent(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD EventID, const char* EventName);
SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_TransmitClientEvent(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD ObjectID, SIMCONNECT_DWORD EventID,
    SIMCONNECT_DWORD dwData, SIMCONNECT_DWORD GroupID, SIMCONNECT_DWORD Flags);
// The send id of the newest call this connection sent to the simulator: the dwSendID an exception
// for that call carries. (Programs use it; the add-on does not.)
SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL
SimConnect_GetLastSentPacketID(SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD* pdwSendID);
