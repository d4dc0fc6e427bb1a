// SPDX-License-Identifier: MIT
#include "codec/KYL_Pipeline_Unit.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>

#include "codec/KYL_Stream_Unit.h"
#include "platform/KYL_Platform.h"

static_assert(std::size_t(Block_Buffer_Capacity) <= T_KYL_Pipeline::Job_Buffer_Size,
              "a job's buffer takes any block the controller gives");

struct T_KYL_Pipeline::T_Job {
    std::unique_ptr<std::uint8_t[]> Buffer;  // Job_Buffer_Size bytes, made when first needed
    std::size_t Length = 0;     // input bytes at the start of Buffer
    bool Expand = false;
    std::uint8_t Transform = 1;
    // Set by the worker before Done; read by the writer after it.
    std::span<const std::uint8_t> Result;
    std::exception_ptr Failure;
    bool Done = false;
};

struct T_KYL_Pipeline::T_Shared_Parts {
    const std::function<void(int)>* Part = nullptr;
    int Count = 0;
    int Next = 0;     // parts 0..Next-1 are taken
    int Running = 0;  // taken parts not yet returned
    std::exception_ptr Failure;
};

unsigned T_KYL_Pipeline::Thread_Request(unsigned threads, std::uint64_t blocks) {
    const std::uint64_t count = std::min({std::uint64_t(threads == 0 ? KYL_Usable_Cores() : threads),
                                          std::uint64_t(Max_Threads), blocks});
    return unsigned(std::max<std::uint64_t>(count, 1));
}

unsigned T_KYL_Pipeline::Memory_Budget_Threads() {
    const std::uint64_t test_memory = Test_Available_Memory.load();
    const std::uint64_t available = test_memory != 0 ? test_memory : KYL_Available_Memory();
    return unsigned(std::clamp<std::uint64_t>(available / 2 / Worker_Memory, 1, Max_Threads));
}

// The machine is read only when more than one thread is in question: one
// always runs, whatever the memory.
unsigned T_KYL_Pipeline::Thread_Count(unsigned threads, std::uint64_t blocks) {
    const unsigned request = Thread_Request(threads, blocks);
    return request > 1 ? std::min(request, Memory_Budget_Threads()) : 1;
}

T_KYL_Pipeline::T_KYL_Pipeline(unsigned threads)
    : Requested_Threads(std::clamp(threads, 1u, Max_Threads)), Thread_Limit(Requested_Threads) {
    Ring.resize(2 * std::size_t(Requested_Threads));
    // Reserved, so that a worker once started always finds its place.
    Workers.reserve(Requested_Threads);
    Controllers.reserve(Requested_Threads);
}

T_KYL_Pipeline::~T_KYL_Pipeline() { Stop(); }

T_KYL_Pipeline::T_Job& T_KYL_Pipeline::Job_At(std::uint64_t sequence) const {
    return *Ring[std::size_t(sequence % Job_Slots())];
}

// ------------------------------------------------------------------ reader

std::span<std::uint8_t> T_KYL_Pipeline::Next_Buffer() {
    const std::lock_guard lock(Mutex);
    if (Tail - Head == Job_Slots()) return {};
    std::unique_ptr<T_Job>& job = Ring[std::size_t(Tail % Job_Slots())];
    if (!job) job = std::make_unique<T_Job>();
    if (!job->Buffer) job->Buffer = std::make_unique_for_overwrite<std::uint8_t[]>(Job_Buffer_Size);
    return {job->Buffer.get(), Job_Buffer_Size};
}

void T_KYL_Pipeline::Submit_Compression(std::size_t length, std::uint8_t transform, bool last) {
    assert(length > 0 && length <= std::size_t(Block_Size));
    Submit(length, false, transform, last);
}

void T_KYL_Pipeline::Submit_Expansion(std::size_t length, bool last) {
    assert(length > 0 && length <= Job_Buffer_Size);
    Submit(length, true, 0, last);
}

void T_KYL_Pipeline::Submit(std::size_t length, bool expand, std::uint8_t transform, bool last) {
    // Without workers no job is in flight, so a last job is the only one.
    const bool only = last && Workers.empty();
    // A worker or controller that cannot be had fails the call before the
    // job counts.
    if (!only) Add_Worker_If_Needed();
    else if (Controllers.empty()) Add_Controller();
    T_Job* job = nullptr;
    std::uint64_t sequence = 0;
    {
        const std::lock_guard lock(Mutex);
        assert(Tail - Head < Job_Slots() && Ring[std::size_t(Tail % Job_Slots())]);
        sequence = Tail++;
        job = &Job_At(sequence);
        job->Length = length;
        job->Expand = expand;
        job->Transform = transform;
        job->Failure = nullptr;
        if (only) Next_To_Start = Tail;  // no worker is to take it
    }
    if (!only) {
        Work_Ready.notify_one();
        return;
    }
    // No worker exists to share the first controller with.
    Run(*job, *Controllers.front());
    const std::lock_guard lock(Mutex);
    if (job->Failure) First_Failure = std::min(First_Failure, sequence);
    job->Done = true;
}

void T_KYL_Pipeline::Add_Worker_If_Needed() {
    if (Workers.empty()) Apply_Memory_Budget();
    {
        const std::lock_guard lock(Mutex);
        const std::uint64_t waiting = Tail - Next_To_Start + 1;  // the job being submitted included
        const std::size_t idle = Workers.size() - Busy;
        if (waiting <= idle || Workers.size() == Thread_Limit) return;
    }
    if (Controllers.size() == Workers.size()) Add_Controller();
    T_KYL_MCP& controller = *Controllers[Workers.size()];
    Workers.push_back(KYL_Start_Thread([this, &controller] { Work(controller); }));
    const std::lock_guard lock(Mutex);
    Worker_Count = unsigned(Workers.size());
}

// Before the first worker of a run, the job being submitted is the run's
// first (a job submitted without a worker is the only one, and comes last),
// so none is in flight and its buffer is in slot 0 whatever the number of
// slots.
void T_KYL_Pipeline::Apply_Memory_Budget() {
    const unsigned limit = Requested_Threads > 1 ? std::min(Requested_Threads, Memory_Budget_Threads()) : 1;
    const std::lock_guard lock(Mutex);
    assert(Head == 0 && Tail == 0);
    Thread_Limit = limit;
}

T_KYL_MCP& T_KYL_Pipeline::Add_Controller() {
    T_KYL_MCP& controller = *Controllers.emplace_back(std::make_unique<T_KYL_MCP>());
    if (Thread_Limit > 1) controller.Lend_Helpers(this);
    return controller;
}

// ------------------------------------------------------------------ workers

// A worker takes parts of another worker's block only when no job waits:
// a block of its own is a whole share of the work, parts of another's speed
// that one block up at the price of joining it.
void T_KYL_Pipeline::Work(T_KYL_MCP& controller) {
    std::unique_lock lock(Mutex);
    for (;;) {
        Work_Ready.wait(lock, [this] { return Stopping || !Shared.empty() || Next_To_Start < Tail; });
        if (Stopping) return;
        if (!Shared.empty() && Next_To_Start == Tail) {
            ++Busy;
            Run_Next_Part(lock, *Shared.front());
            --Busy;
            continue;
        }
        const std::uint64_t sequence = Next_To_Start++;
        T_Job& job = Job_At(sequence);
        if (sequence < First_Failure) {
            ++Busy;
            lock.unlock();
            Run(job, controller);
            lock.lock();
            --Busy;
            if (job.Failure) First_Failure = std::min(First_Failure, sequence);
        }
        job.Done = true;
        Result_Ready.notify_all();
    }
}

// The parts are offered to the workers at once; the calling thread takes
// parts too, so the call never waits for a worker that is busy elsewhere.
void T_KYL_Pipeline::Run_Parts(int count, const std::function<void(int)>& part) {
    T_Shared_Parts shared;
    shared.Part = &part;
    shared.Count = count;
    std::unique_lock lock(Mutex);
    if (count > 1) {
        Shared.push_back(&shared);
        Work_Ready.notify_all();
    }
    while (shared.Next < count) Run_Next_Part(lock, shared);
    Part_Done.wait(lock, [&shared] { return shared.Running == 0; });
    if (shared.Failure) std::rethrow_exception(shared.Failure);
}

bool T_KYL_Pipeline::Thread_Waiting() const {
    const std::lock_guard lock(Mutex);
    return Worker_Count > Busy && Next_To_Start == Tail && !Stopping;
}

void T_KYL_Pipeline::Run_Next_Part(std::unique_lock<std::mutex>& lock, T_Shared_Parts& shared) {
    const int k = shared.Next++;
    // The last part taken: no thread is to look for parts here any more.
    if (shared.Next == shared.Count) std::erase(Shared, &shared);
    ++shared.Running;
    lock.unlock();
    std::exception_ptr failure;
    try {
        (*shared.Part)(k);
    } catch (...) {
        failure = std::current_exception();
    }
    lock.lock();
    if (failure && !shared.Failure) shared.Failure = failure;
    if (--shared.Running == 0) Part_Done.notify_all();
}

// The result goes back into the job's own buffer, so that the worker's
// controller is free for the next job at once.
void T_KYL_Pipeline::Run(T_Job& job, T_KYL_MCP& controller) {
    try {
        job.Result = job.Expand ? Expand_Job(job, controller) : Compress_Job(job, controller);
    } catch (...) {
        job.Failure = std::current_exception();
    }
}

std::span<const std::uint8_t> T_KYL_Pipeline::Compress_Job(T_Job& job, T_KYL_MCP& controller) {
    std::uint8_t* const buffer = job.Buffer.get();
    // Compress_Block copied the block into the controller's memory, except
    // for a stored record, whose payload is the block in the buffer: it moves
    // behind the header.
    const T_KYL_Record record = controller.Compress_Block({buffer, job.Length}, job.Transform);
    std::memmove(buffer + record.Header.size(), record.Payload.data(), record.Payload.size());
    std::memcpy(buffer, record.Header.data(), record.Header.size());
    return {buffer, record.Size()};
}

std::span<const std::uint8_t> T_KYL_Pipeline::Expand_Job(T_Job& job, T_KYL_MCP& controller) {
    std::uint8_t* const buffer = job.Buffer.get();
    // The reader framed exactly one record, so it ends with the input.
    const T_KYL_Expanded_Record expanded = controller.Expand_Record({buffer, job.Length}, true);
    assert(expanded.Consumed == job.Length);
    // A stored block is a view into the buffer itself and stays there.
    const std::less<const std::uint8_t*> before;
    if (!before(expanded.Block.data(), buffer) && before(expanded.Block.data(), buffer + Job_Buffer_Size))
        return expanded.Block;
    std::memcpy(buffer, expanded.Block.data(), expanded.Block.size());
    return {buffer, expanded.Block.size()};
}

// ------------------------------------------------------------------ writer

bool T_KYL_Pipeline::Empty() const {
    const std::lock_guard lock(Mutex);
    return Head == Tail;
}

bool T_KYL_Pipeline::Failed() const {
    const std::lock_guard lock(Mutex);
    return First_Failure != UINT64_MAX;
}

std::optional<std::span<const std::uint8_t>> T_KYL_Pipeline::Oldest_Result(bool wait) {
    std::unique_lock lock(Mutex);
    assert(Head < Tail);
    T_Job& job = Job_At(Head);
    if (!job.Done) {
        if (!wait) return std::nullopt;
        Result_Ready.wait(lock, [&job] { return job.Done; });
    }
    if (job.Failure) std::rethrow_exception(job.Failure);
    return job.Result;
}

void T_KYL_Pipeline::Release_Oldest() {
    const std::lock_guard lock(Mutex);
    assert(Head < Tail && Job_At(Head).Done);
    T_Job& job = Job_At(Head);
    job.Done = false;
    job.Result = {};
    ++Head;
}

void T_KYL_Pipeline::Stop() noexcept {
    {
        const std::lock_guard lock(Mutex);
        Stopping = true;
    }
    Work_Ready.notify_all();
    for (std::thread& worker : Workers) worker.join();
    Workers.clear();
    const std::lock_guard lock(Mutex);
    Worker_Count = 0;
    for (std::uint64_t sequence = Head; sequence < Tail; ++sequence) {
        T_Job& job = Job_At(sequence);
        job.Done = false;
        job.Result = {};
        job.Failure = nullptr;
    }
    Head = Next_To_Start = Tail = 0;
    Thread_Limit = Requested_Threads;
    First_Failure = UINT64_MAX;
    Busy = 0;
    Stopping = false;
}

// ------------------------------------------------------------- compression

T_KYL_Parallel_Compress_Stream::T_KYL_Parallel_Compress_Stream(T_KYL_Pipeline& pipeline, std::uint8_t transform)
    : Pipeline(pipeline), Transform(transform) {}

std::span<std::uint8_t> T_KYL_Parallel_Compress_Stream::Input_Space() {
    if (Input_Ended) return {};
    const std::span<std::uint8_t> buffer = Pipeline.Next_Buffer();
    if (buffer.empty()) return {};
    return buffer.subspan(Gathered, std::size_t(Block_Size) - Gathered);
}

void T_KYL_Parallel_Compress_Stream::Commit_Input(std::size_t count) {
    assert(count <= std::size_t(Block_Size) - Gathered);
    Gathered += count;
    if (Gathered == std::size_t(Block_Size)) {
        Pipeline.Submit_Compression(Gathered, Transform, false);
        Gathered = 0;
    }
}

void T_KYL_Parallel_Compress_Stream::Finish_Input() {
    if (Input_Ended) return;
    Input_Ended = true;
    if (Gathered > 0) {
        Pipeline.Submit_Compression(Gathered, Transform, true);
        Gathered = 0;
    }
}

std::span<const std::uint8_t> T_KYL_Parallel_Compress_Stream::Output() {
    if (Holding || Pipeline.Empty()) return Record;
    const auto record = Pipeline.Oldest_Result(Input_Space().empty());
    if (!record) return {};
    Record = *record;
    Holding = true;
    return Record;
}

void T_KYL_Parallel_Compress_Stream::Take_Output(std::size_t count) {
    assert(count <= Record.size());
    Record = Record.subspan(count);
    if (Holding && Record.empty()) {
        Pipeline.Release_Oldest();
        Holding = false;
        ++Blocks;
    }
}

// --------------------------------------------------------------- expansion

T_KYL_Parallel_Expand_Stream::T_KYL_Parallel_Expand_Stream(T_KYL_Pipeline& pipeline)
    : Pipeline(pipeline),
      Window_Memory(std::make_unique_for_overwrite<std::uint8_t[]>(2 * Max_Record_Length)),
      Window({Window_Memory.get(), 2 * Max_Record_Length}) {}

bool T_KYL_Parallel_Expand_Stream::Input_Blocked() const {
    return Input_Ended || Record_Waiting || Damage || Pipeline.Failed();
}

// With no whole record waiting the window holds less than one record, so
// there is room.
std::span<std::uint8_t> T_KYL_Parallel_Expand_Stream::Input_Space() {
    if (Input_Blocked()) return {};
    return Window.Space();
}

void T_KYL_Parallel_Expand_Stream::Commit_Input(std::size_t count) {
    Window.Commit(count);
    Dispatch();
}

void T_KYL_Parallel_Expand_Stream::Finish_Input() {
    if (Input_Ended) return;
    Input_Ended = true;
    Dispatch();
}

// A record decodes from its own bytes alone (the coder reads zeros past its
// payload), so a job gets the record and nothing after it.  The first record
// waits until bytes follow it or the input ends, so that a one-record input
// expands on the calling thread.  Framing stops at the first failure:
// nothing after it is ever handed out.
void T_KYL_Parallel_Expand_Stream::Dispatch() {
    Record_Waiting = false;
    while (!Damage && !Pipeline.Failed()) {
        std::size_t length = 0;
        try {
            length = T_KYL_MCP::Record_Length(Window.Held(), Input_Ended);
        } catch (const T_KYL_Damaged_Block&) {
            Damage = std::current_exception();
            return;
        }
        const bool rest = length == Window.Held().size();  // nothing follows the record yet
        const bool last = Input_Ended && rest;
        if (length == 0 || (!last && !Pipeline.Has_Workers() && rest)) return;
        const std::span<std::uint8_t> buffer = Pipeline.Next_Buffer();
        if (buffer.empty()) {
            Record_Waiting = true;
            return;
        }
        std::memcpy(buffer.data(), Window.Held().data(), length);
        Window.Consume(length);
        Pipeline.Submit_Expansion(length, last);
    }
}

void T_KYL_Parallel_Expand_Stream::Throw_Damage(std::exception_ptr damage) const {
    try {
        std::rethrow_exception(damage);
    } catch (T_KYL_Damaged_Block& block_damage) {
        block_damage.Set_Block_Index(Block_Index);
        throw;
    }
}

std::span<const std::uint8_t> T_KYL_Parallel_Expand_Stream::Output() {
    while (!Holding) {
        Dispatch();
        // A framing failure comes out once the blocks before it are out.
        if (Pipeline.Empty()) {
            if (Damage) Throw_Damage(Damage);
            return {};
        }
        std::optional<std::span<const std::uint8_t>> block;
        try {
            block = Pipeline.Oldest_Result(Input_Blocked());
        } catch (const T_KYL_Damaged_Block&) {
            Throw_Damage(std::current_exception());
        }
        if (!block) return {};
        Block = *block;
        Holding = true;
        // A record may expand to an empty block; the loop goes on to the next.
        if (Block.empty()) Release_Block();
    }
    return Block;
}

void T_KYL_Parallel_Expand_Stream::Take_Output(std::size_t count) {
    assert(count <= Block.size());
    Block = Block.subspan(count);
    if (Holding && Block.empty()) Release_Block();
}

void T_KYL_Parallel_Expand_Stream::Release_Block() {
    Pipeline.Release_Oldest();
    Holding = false;
    ++Block_Index;
}
