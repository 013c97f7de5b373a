/* An MSVC-ABI caller of the installed library, with no C runtime: it calls
 * kernel32 and the four exports only. Every call is bracketed by reads of
 * the stack pointer, which a caller and a DLL disagreeing on who pops the
 * arguments (cdecl against stdcall on x86) leave different.
 *
 * Expects exactly one key, an echo key answering status 6A82. Prints one line
 * per check and, when all pass, "completed: ..." last; exit code 0 only then.
 *
 * Built with OLVEX_OWN_DECLARATIONS, it declares the exports itself without
 * __stdcall, as a careless caller would: it must then fail to link against a
 * correct 32-bit import library. */
#ifdef OLVEX_OWN_DECLARATIONS
typedef struct OLVEX_Connection *OLVEX_HANDLE;
int OLVEX_EnumDEV(int *count);
int OLVEX_Connect(OLVEX_HANDLE *connection, char *pathOut, int index);
int OLVEX_DoCommand(OLVEX_HANDLE connection, const unsigned char *command, int commandLength,
                    unsigned char *response, int *responseLength);
int OLVEX_Disconnect(OLVEX_HANDLE connection);
#define OLVEX_OK 0
#define OLVEX_FAIL (-1)
#define OLVEX_PATH_SIZE 260
#define OLVEX_MAX_RESPONSE_BODY 51195
#else
#include <olvexlib.h>
#endif

#define WINAPI __stdcall
__declspec(dllimport) void *WINAPI GetStdHandle(unsigned long which);
__declspec(dllimport) int WINAPI WriteFile(void *file, const void *data, unsigned long size,
                                           unsigned long *written, void *overlapped);
__declspec(dllimport) __declspec(noreturn) void WINAPI ExitProcess(unsigned int code);
#define STD_OUTPUT_HANDLE ((unsigned long)-11)

#if defined(_M_IX86)
#define ARCH "x86"
#define READ_SP(v) __asm__ __volatile__("movl %%esp, %0" : "=r"(v) : : "memory")
#elif defined(_M_X64)
#define ARCH "x64"
#define READ_SP(v) __asm__ __volatile__("movq %%rsp, %0" : "=r"(v) : : "memory")
#else
#error "x86 or x64 only"
#endif

typedef __SIZE_TYPE__ uptr;

/* Static, not on the stack: a frame this large would need the runtime's
 * stack probe. */
static unsigned char response[OLVEX_MAX_RESPONSE_BODY];
static char path[OLVEX_PATH_SIZE];
static struct { unsigned int words[16]; } notAConnection;
static int checks, failures;

static int length(const char *s) {
    int n = 0;
    while (s[n]) ++n;
    return n;
}

static void put(const char *s) {
    unsigned long written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s, (unsigned long)length(s), &written, 0);
}

static void putNumber(long v) {
    char digits[24];
    int i = sizeof digits - 1;
    int negative = v < 0;
    unsigned long u = negative ? 0ul - (unsigned long)v : (unsigned long)v;
    digits[i] = 0;
    do {
        digits[--i] = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    if (negative) digits[--i] = '-';
    put(digits + i);
}

static void check(int ok, const char *what) {
    ++checks;
    if (!ok) ++failures;
    put(ok ? "ok   " : "FAIL ");
    put(what);
    put("\n");
}

/* Runs `call` into `result`; a moved stack pointer is a failed check of its own. */
#define CALL(result, call, what)                                         \
    do {                                                                 \
        uptr before_, after_;                                            \
        READ_SP(before_);                                                \
        result = (call);                                                 \
        READ_SP(after_);                                                 \
        check(before_ == after_, what ": stack pointer unchanged");      \
    } while (0)

static int startsWith(const char *s, const char *prefix) {
    while (*prefix)
        if (*s++ != *prefix++) return 0;
    return 1;
}

static int contains(const char *s, const char *part) {
    for (; *s; ++s)
        if (startsWith(s, part)) return 1;
    return 0;
}

void consumer_main(void) {
    static const unsigned char command[] = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00};
    OLVEX_HANDLE key = 0;
    int count = -7, rc, got = -7, i, same;

    CALL(rc, OLVEX_EnumDEV(0), "EnumDEV(null)");
    check(rc == OLVEX_FAIL, "EnumDEV(null) fails");
    CALL(rc, OLVEX_EnumDEV(&count), "EnumDEV");
    check(rc == OLVEX_OK && count == 1, "EnumDEV lists the one key");

    CALL(rc, OLVEX_Connect(&key, path, 1), "Connect(index 1)");
    check(rc == OLVEX_FAIL && key == 0, "Connect refuses an index past the list");
    CALL(rc, OLVEX_Connect(&key, path, 0), "Connect");
    check(rc == OLVEX_OK && key != 0, "Connect opens key 0");
    check(startsWith(path, "\\\\?\\usb#") && contains(path, "#msvc-consumer#"), "Connect gives the key's path");

    CALL(rc, OLVEX_DoCommand(key, command, (int)sizeof command, response, &got), "DoCommand");
    same = got == (int)sizeof command;
    for (i = 0; same && i < got; ++i) same = response[i] == command[i];
    check(rc == 0x6A82 && same, "DoCommand returns the status word and the echoed body");
    if (rc != 0x6A82 || !same) {
        put("     status ");
        putNumber(rc);
        put(", length ");
        putNumber(got);
        put("\n");
    }
    got = -7;
    CALL(rc, OLVEX_DoCommand(key, command, -1, response, &got), "DoCommand(length -1)");
    check(rc == OLVEX_FAIL && got == -7, "DoCommand refuses a negative length, length untouched");

    CALL(rc, OLVEX_Disconnect((OLVEX_HANDLE)&notAConnection), "Disconnect(foreign)");
    check(rc == OLVEX_FAIL, "Disconnect refuses a handle it did not make");
    CALL(rc, OLVEX_Disconnect(key), "Disconnect");
    check(rc == OLVEX_OK, "Disconnect closes the connection");
    CALL(rc, OLVEX_Disconnect(0), "Disconnect(null)");
    check(rc == OLVEX_OK, "Disconnect(null) succeeds");

    if (failures) {
        putNumber(failures);
        put(" of ");
        putNumber(checks);
        put(" checks failed\n");
        ExitProcess(1);
    }
    put("completed: msvc consumer " ARCH ", ");
    putNumber(checks);
    put(" checks\n");
    ExitProcess(0);
}
