/*
 * KESTAR interface module: the C view an integrator includes.
 *
 * The module is a 32-bit library (KESTAR.dll on Windows, libkestar.so on Linux i386)
 * with three standard-call entry points. The host owns the three records below and
 * passes the interface block to the entry points; the module reads and writes only
 * the named fields, at the offsets checked at the end of this header, and leaves
 * every reserved byte alone.
 */
#ifndef KESTAR_H
#define KESTAR_H

#include <stddef.h>

/* The module and its host are 32-bit. A 64-bit build of these sources exists only to
   check memory safety; there addresses are wider, and the records that hold them
   (the two block addresses, the point list) have another layout. */
#if !defined(__LP64__) && !defined(_WIN64)
#define KESTAR_32BIT 1
#endif

#if defined(_WIN32)
#define KESTAR_CALL __stdcall
#elif defined(__i386__)
#define KESTAR_CALL __attribute__((stdcall))
#else
#define KESTAR_CALL
#endif

/*
 * The member-call convention of the platform's own C++ compiler, used by the point
 * list's table of operations. 32-bit Windows: the object in ECX, the arguments on
 * the stack, removed by the callee. Everywhere else the compilers' member call is
 * the plain C call with the object as the first argument, which is what this
 * becomes there (Linux i386, and a 64-bit checking build, which has no such
 * convention).
 */
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#if defined(_MSC_VER)
#define KESTAR_MEMBER_CALL __thiscall
#else
#define KESTAR_MEMBER_CALL __attribute__((__thiscall__))
#define KESTAR_MEMBER_CALL_IS_GCC_ATTRIBUTE 1
#endif
#else
#define KESTAR_MEMBER_CALL
#endif

#if !defined(_WIN32) && defined(__GNUC__)
#define KESTAR_EXPORT __attribute__((visibility("default")))
#else
#define KESTAR_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Command codes the host writes into `command` before it calls GetCommData. */
enum KestarCommand {
    C_DCC_STOP = 2,
    C_HOME_CMM = 3,
    C_PH9_MOVE_POS = 4,
    C_MODE_AUTO = 5,
    C_MODE_MAN = 6,
    C_WAIT_DCC = 7,
    C_DCC_START = 8,
    C_M_POINT = 9,
    C_SEND_POS_POINT = 10,
    C_SEND_PT_MES = 11,
    C_SET_DCC_PARAM = 12,
    C_INITIALIZE_INTERFACE = 13,
    C_SEND_STRING = 14,
    C_READ_COORDS = 22,
    C_RESET_ERROR = 23,
    C_CHANGE_PARAMETER = 25,
    C_CALLBACKS = 27,
    C_SEND_APPRCH_POINT = 29,
    C_READ_STATUS = 31,
    C_SCAN_CURVE = 32,
    C_SETUP_CONTROL = 34,
    C_MEASURE_MODE = 36,
    C_CALIBRATE_PROBE = 39
};

/* Error code and text written by GetCommData when command execution failed. */
#define KESTAR_INTERFACE_ERROR_CODE 1001
#define KESTAR_INTERFACE_ERROR_TEXT "Interface Error"

/* Arm event reported through eventCode. */
#define KESTAR_ARM_EVENT_CODE 91

#define KESTAR_ERROR_TEXT_SIZE 80

/* The host's compiler lays doubles out on 4-byte boundaries at the most. In a 64-bit
   checking build addresses keep their natural 8-byte alignment. */
#ifdef KESTAR_32BIT
#pragma pack(push, 4)
#else
#pragma pack(push, 8)
#endif

typedef struct Point3 {
    double x;
    double y;
    double z;
} Point3;

typedef struct MachineBlock {
    char reserved0[4];
    char machineName[16];          /* "VASK Manual Arm" and its terminator */
    char reserved20[72];
    int kindCode;
    int optionA;
    int optionB;
    int optionC;
    int optionD;
    char reserved112[48];
    int tuningA;
    int pollLimit;
    int tuningB;
    char reserved172[4];
    double factors[3];
} MachineBlock;

typedef struct ProbeBlock {
    char reserved0[48];
    int pointTaken;
    char reserved52[20];
    double headMoveValue;
} ProbeBlock;

typedef struct InterfaceBlock {
    MachineBlock* machine;
    ProbeBlock* probe;
    /* Bytes 8 to 19 in the 32-bit host. A 64-bit checking build gives the two wider
       addresses' extra bytes back here, so every later field keeps its offset. */
    char reserved8[20 - 2 * sizeof(void*)];
    int commandSeen;
    int lineDone;
    char reserved28[44];
    int interfaceKind;
    int interfaceReady;
    char reserved80[40];
    Point3 armVector;
    Point3 offsetPoint;
    Point3 position;
    Point3 measuredPoint;
    char reserved216[24];
    int commandParam;
    char reserved244[20];
    int controllerPort;
    int probePort;
    int droPort;
    int handboxPort;
    int hostPort;
    int toolchangerPort;
    int sensorPort;
    char reserved292[12];
    int errorCode;
    char reserved308[4];
    int callbacksParam;
    int eventCode;
    char reserved320[200];
    char errorText[KESTAR_ERROR_TEXT_SIZE];
    char reserved600[136];
    int command;
} InterfaceBlock;

/*
 * The point list the module hands to the host callback. The module treats the
 * 24-byte records as opaque; a host walks the nodes from `head` along `next`.
 */
#define KESTAR_POINT_RECORD_SIZE 24

typedef struct PointRecord {
    unsigned char bytes[KESTAR_POINT_RECORD_SIZE];
} PointRecord;

typedef struct PointNode {
    struct PointNode* next;
    struct PointNode* previous;
    PointRecord record;
} PointNode;

typedef struct PointBlock PointBlock; /* a block of nodes; its layout is the module's */
typedef struct PointList PointList;

/*
 * The class record that the list's class query answers: the record of the
 * framework's serialisable-object base, KESTAR_OBJECT_CLASS_NAME, whose objects
 * are the one reference to the table of operations.
 */
#define KESTAR_OBJECT_CLASS_NAME "SerializableObject"

typedef struct KestarClassRecord {
    const char* name;
    int objectSize;
} KestarClassRecord;

/*
 * The list's table of operations, in this slot order: the virtual operations of
 * the framework's serialisable objects, called as a C++ host calls them, with
 * KESTAR_MEMBER_CALL and the list as the object.
 *   classQuery  the framework base's own class record.
 *   destroy     the deleting destructor: empties the list (remove-all) and gives
 *               back `list`. The list belongs to the module, so its storage is
 *               never freed, whatever `flags` asks for.
 *   serialize   stores the list into the module's archive, or appends what a
 *               loading archive holds; 0 when loading failed.
 *   selfCheck   1 when the list's links, count and block size agree, else 0.
 *   dump        the base line, "with <count> elements", a line break per record
 *               at depth 1 and above, and a final line break.
 */
#if defined(KESTAR_MEMBER_CALL_IS_GCC_ATTRIBUTE)
/* Given to plain function types, the attribute draws a pedantic warning; it applies all the same. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
#endif
typedef struct PointListOperations {
    const KestarClassRecord* (KESTAR_MEMBER_CALL* classQuery)(const PointList* list);
    void* (KESTAR_MEMBER_CALL* destroy)(PointList* list, unsigned int flags);
    int (KESTAR_MEMBER_CALL* serialize)(PointList* list, void* archive);
    int (KESTAR_MEMBER_CALL* selfCheck)(const PointList* list);
    void (KESTAR_MEMBER_CALL* dump)(const PointList* list, void* dumpContext);
} PointListOperations;
#if defined(KESTAR_MEMBER_CALL_IS_GCC_ATTRIBUTE)
#pragma GCC diagnostic pop
#endif

struct PointList {
    const PointListOperations* operations;
    PointNode* head;
    PointNode* tail;
    int count;
    PointNode* freeChain;
    PointBlock* blockChain;
    int blockSize;
};

#pragma pack(pop)

/* The host's callback: the interface block and the module's point list. */
typedef int (KESTAR_CALL *KestarHostCallback)(InterfaceBlock* block, PointList* pointList);

/* Ordinal 10: carry out `command`; 1 done, 0 failure reported in the block. */
KESTAR_EXPORT int KESTAR_CALL GetCommData(InterfaceBlock* block);
/* Ordinal 12: start the module up; 1 started with all ports, 0 otherwise. */
KESTAR_EXPORT int KESTAR_CALL InitializeCommunications(InterfaceBlock* block, int ignored, KestarHostCallback callback);
/* Ordinal 14: shut the module down; always 1. */
KESTAR_EXPORT int KESTAR_CALL TerminateCommunications(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The binary contract: every field the module touches sits at its fixed offset. */
#if defined(__cplusplus)
#define KESTAR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KESTAR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define KESTAR_STATIC_ASSERT(cond, msg)
#endif

#define KESTAR_AT(type, field, offset) \
    KESTAR_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field " must sit at " #offset)

#ifdef KESTAR_32BIT
KESTAR_STATIC_ASSERT(sizeof(void*) == 4, "the module and its host are 32-bit");
#endif
KESTAR_STATIC_ASSERT(sizeof(int) == 4 && sizeof(double) == 8, "int is 32-bit, double 64-bit");
KESTAR_STATIC_ASSERT(sizeof(Point3) == 24, "Point3 is three doubles back to back");
KESTAR_AT(Point3, x, 0);
KESTAR_AT(Point3, y, 8);
KESTAR_AT(Point3, z, 16);

KESTAR_AT(InterfaceBlock, machine, 0);
#ifdef KESTAR_32BIT
KESTAR_AT(InterfaceBlock, probe, 4);
#endif
KESTAR_AT(InterfaceBlock, commandSeen, 20);
KESTAR_AT(InterfaceBlock, lineDone, 24);
KESTAR_AT(InterfaceBlock, interfaceKind, 72);
KESTAR_AT(InterfaceBlock, interfaceReady, 76);
KESTAR_AT(InterfaceBlock, armVector, 120);
KESTAR_AT(InterfaceBlock, offsetPoint, 144);
KESTAR_AT(InterfaceBlock, position, 168);
KESTAR_AT(InterfaceBlock, measuredPoint, 192);
KESTAR_AT(InterfaceBlock, commandParam, 240);
KESTAR_AT(InterfaceBlock, controllerPort, 264);
KESTAR_AT(InterfaceBlock, probePort, 268);
KESTAR_AT(InterfaceBlock, droPort, 272);
KESTAR_AT(InterfaceBlock, handboxPort, 276);
KESTAR_AT(InterfaceBlock, hostPort, 280);
KESTAR_AT(InterfaceBlock, toolchangerPort, 284);
KESTAR_AT(InterfaceBlock, sensorPort, 288);
KESTAR_AT(InterfaceBlock, errorCode, 304);
KESTAR_AT(InterfaceBlock, callbacksParam, 312);
KESTAR_AT(InterfaceBlock, eventCode, 316);
KESTAR_AT(InterfaceBlock, errorText, 520);
KESTAR_AT(InterfaceBlock, command, 736);
#ifdef KESTAR_32BIT
KESTAR_STATIC_ASSERT(sizeof(InterfaceBlock) == 740, "the interface block the module sees is 740 bytes");
#endif

KESTAR_AT(MachineBlock, machineName, 4);
KESTAR_AT(MachineBlock, kindCode, 92);
KESTAR_AT(MachineBlock, optionA, 96);
KESTAR_AT(MachineBlock, optionB, 100);
KESTAR_AT(MachineBlock, optionC, 104);
KESTAR_AT(MachineBlock, optionD, 108);
KESTAR_AT(MachineBlock, tuningA, 160);
KESTAR_AT(MachineBlock, pollLimit, 164);
KESTAR_AT(MachineBlock, tuningB, 168);
KESTAR_AT(MachineBlock, factors, 176);
KESTAR_STATIC_ASSERT(sizeof(MachineBlock) == 200, "the machine block the module sees is 200 bytes");

KESTAR_AT(ProbeBlock, pointTaken, 48);
KESTAR_AT(ProbeBlock, headMoveValue, 72);
KESTAR_STATIC_ASSERT(sizeof(ProbeBlock) == 80, "the probe block the module sees is 80 bytes");

#ifdef KESTAR_32BIT
KESTAR_AT(PointNode, next, 0);
KESTAR_AT(PointNode, previous, 4);
KESTAR_AT(PointNode, record, 8);
KESTAR_STATIC_ASSERT(sizeof(PointNode) == 32, "a point node is two references and a 24-byte record");
KESTAR_AT(PointList, operations, 0);
KESTAR_AT(PointList, head, 4);
KESTAR_AT(PointList, tail, 8);
KESTAR_AT(PointList, count, 12);
KESTAR_AT(PointList, freeChain, 16);
KESTAR_AT(PointList, blockChain, 20);
KESTAR_AT(PointList, blockSize, 24);
KESTAR_STATIC_ASSERT(sizeof(PointList) == 28, "the point list is seven 32-bit fields");
KESTAR_STATIC_ASSERT(sizeof(PointListOperations) == 20, "the table holds five operations");
#endif

#undef KESTAR_AT

#endif /* KESTAR_H */
