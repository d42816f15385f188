// The thread information block, the FS segment and the exception dispatcher.
#include "image/runtime/exceptions.h"

#include "host/usermem.h"
#include "platform/wdm.h"

#include <asm/ldt.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kv::image {

namespace {

constexpr uint32_t kEndOfChain = 0xFFFFFFFF;
constexpr int kContinueExecution = 0;
constexpr int kContinueSearch = 1;
constexpr uint32_t kNonContinuable = 1;  // EXCEPTION_NONCONTINUABLE
constexpr uint32_t kUnwinding = 2;       // EXCEPTION_UNWINDING
constexpr uint32_t kExitUnwind = 4;      // EXCEPTION_EXIT_UNWIND

// NT_TIB: the part of the thread block image code may reach.
struct ThreadBlock {
    uint32_t exceptionList;
    uint32_t stackBase;
    uint32_t stackLimit;
    uint32_t subSystemTib;
    uint32_t fiberData;
    uint32_t arbitraryUserPointer;
    uint32_t self;
    uint32_t reserved[57];
};
static_assert(sizeof(ThreadBlock) == 256);

struct ExceptionRecord {
    uint32_t code;
    uint32_t flags;
    uint32_t record;
    uint32_t address;
    uint32_t parameterCount;
    uint32_t information[15];
};

// CONTEXT (i386), 716 bytes: the general registers at their kernel offsets.
struct Context {
    uint32_t contextFlags;
    uint32_t dr[6];
    uint8_t floatSave[112];
    uint32_t segGs, segFs, segEs, segDs;
    uint32_t edi, esi, ebx, edx, ecx, eax;
    uint32_t ebp, eip, segCs, eflags, esp, segSs;
    uint8_t extended[512];
};
static_assert(sizeof(Context) == 716 && offsetof(Context, eip) == 0xB8 && offsetof(Context, esp) == 0xC4);

struct Registration {
    uint32_t next;
    uint32_t handler;
};

using Handler = int (*)(ExceptionRecord*, void* frame, Context*, void* dispatcherContext);

thread_local ThreadBlock* tBlock = nullptr;
thread_local uint32_t tRaisedCode = 0;  // set by a raise, read by the SIGILL it causes
std::atomic<int> gNextEntry{0};
std::atomic<uint64_t> gDispatched{0};

struct ImageRange {
    const char* name;
    uint32_t base, size;
};
ImageRange gRanges[8];
std::atomic<int> gRangeCount{0};

[[noreturn]] void Unhandled(const ExceptionRecord& record)
{
    for (int i = 0; i < gRangeCount; ++i) {
        if (record.address - gRanges[i].base < gRanges[i].size) {
            std::fprintf(stderr, "image exception in %s at RVA 0x%X\n", gRanges[i].name, record.address - gRanges[i].base);
        }
    }
    std::fprintf(stderr, "image exception 0x%08X at 0x%08X (data address 0x%08X): no exception frame handles it\n",
                 record.code, record.address, record.information[1]);
    std::_Exit(134);
}

void Dispatch(int signal, siginfo_t* info, void* raw)
{
    auto* uc = static_cast<ucontext_t*>(raw);
    greg_t* g = uc->uc_mcontext.gregs;
    ExceptionRecord record{};
    record.address = (uint32_t)g[REG_EIP];
    if (signal == SIGILL && tRaisedCode != 0) {
        record.code = tRaisedCode;
        record.flags = kNonContinuable;  // as the kernel raises a status
        tRaisedCode = 0;
    } else {
        record.code = (uint32_t)STATUS_ACCESS_VIOLATION;
        record.parameterCount = 2;
        record.information[0] = (g[REG_ERR] & 2) ? 1 : 0;  // a write
        record.information[1] = (uint32_t)(uintptr_t)info->si_addr;
    }
    if (!tBlock) Unhandled(record);
    Context context{};
    context.edi = g[REG_EDI], context.esi = g[REG_ESI], context.ebx = g[REG_EBX], context.edx = g[REG_EDX];
    context.ecx = g[REG_ECX], context.eax = g[REG_EAX], context.ebp = g[REG_EBP], context.eip = g[REG_EIP];
    context.esp = g[REG_ESP], context.eflags = g[REG_EFL];
    // Counted before the walk: a handler that unwinds never comes back here.
    if (tBlock->exceptionList != kEndOfChain) ++gDispatched;
    for (uint32_t frame = tBlock->exceptionList; frame != kEndOfChain;) {
        // A frame lives on the thread's stack, above the faulting ESP.
        if (frame < context.esp || frame % 4 != 0) Unhandled(record);
        const auto* registration = reinterpret_cast<const Registration*>((uintptr_t)frame);
        uint8_t dispatcherContext[16] = {};
        const int disposition = reinterpret_cast<Handler>((uintptr_t)registration->handler)(
            &record, (void*)(uintptr_t)frame, &context, dispatcherContext);
        if (disposition == kContinueExecution) {
            if (record.flags & kNonContinuable) {
                std::fprintf(stderr, "image exception 0x%08X is not continuable, yet a handler continued it\n",
                             record.code);
                Unhandled(record);
            }
            g[REG_EDI] = context.edi, g[REG_ESI] = context.esi, g[REG_EBX] = context.ebx, g[REG_EDX] = context.edx;
            g[REG_ECX] = context.ecx, g[REG_EAX] = context.eax, g[REG_EBP] = context.ebp, g[REG_EIP] = context.eip;
            g[REG_ESP] = context.esp, g[REG_EFL] = context.eflags;
            return;
        }
        if (disposition != kContinueSearch) Unhandled(record);
        frame = registration->next;
    }
    Unhandled(record);
}

// The probes raise through here: an undefined instruction, so the exception
// reaches the dispatcher with a context of this thread like a fault does.
void Raise(NTSTATUS status)
{
    tRaisedCode = (uint32_t)status;
    __asm__ volatile("ud2");
    __builtin_unreachable();
}

void InstallHandlers()
{
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    struct sigaction action = {};
    action.sa_sigaction = Dispatch;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
    sigaction(SIGBUS, &action, nullptr);
    sigaction(SIGILL, &action, nullptr);
    kv::usermem::SetRaiseRoutine(&Raise);
}

}  // namespace

bool EnterImageThread()
{
    InstallHandlers();
    if (tBlock) return true;
    auto* block = new ThreadBlock{};
    block->exceptionList = kEndOfChain;
    block->self = (uint32_t)(uintptr_t)block;
    user_desc segment = {};
    segment.entry_number = (unsigned)gNextEntry++;
    segment.base_addr = (unsigned)(uintptr_t)block;
    segment.limit = sizeof(ThreadBlock) - 1;
    segment.seg_32bit = 1;
    segment.useable = 1;
    if (segment.entry_number >= 8192 || syscall(SYS_modify_ldt, 1, &segment, sizeof segment) != 0) {
        delete block;
        return false;
    }
    const uint16_t selector = (uint16_t)((segment.entry_number << 3) | 4 | 3);  // LDT, ring 3
    __asm__ volatile("movw %0, %%fs" : : "r"(selector));
    tBlock = block;
    return true;
}

void NoteImageRange(const char* name, uint32_t base, uint32_t size)
{
    const int i = gRangeCount;
    if (i < 8) {
        gRanges[i] = {name, base, size};
        gRangeCount = i + 1;
    }
}

uint32_t ExceptionChainHead() { return tBlock ? tBlock->exceptionList : kEndOfChain; }

uint64_t DispatchedExceptions() { return gDispatched.load(); }

}  // namespace kv::image

using namespace kv::image;

extern "C" VOID NTAPI RtlUnwind(PVOID TargetFrame, PVOID TargetIp, PVOID Record, PVOID ReturnValue)
{
    (void)ReturnValue;  // the caller finds it in EAX only on the real kernel; the images pass 0
    if (!tBlock || TargetIp != nullptr) {
        std::fprintf(stderr, "RtlUnwind: %s\n", !tBlock ? "not an image thread" : "a target address is not supported");
        std::_Exit(134);
    }
    ExceptionRecord unwind{};
    if (Record) unwind = *static_cast<const ExceptionRecord*>(Record);
    unwind.flags |= kUnwinding | (TargetFrame ? 0 : kExitUnwind);
    const uint32_t target = TargetFrame ? (uint32_t)(uintptr_t)TargetFrame : kEndOfChain;
    while (tBlock->exceptionList != target && tBlock->exceptionList != kEndOfChain) {
        const auto* registration = reinterpret_cast<const Registration*>((uintptr_t)tBlock->exceptionList);
        Context context{};
        uint8_t dispatcherContext[16] = {};
        reinterpret_cast<Handler>((uintptr_t)registration->handler)(&unwind, (void*)(uintptr_t)tBlock->exceptionList,
                                                                    &context, dispatcherContext);
        tBlock->exceptionList = registration->next;
    }
}
