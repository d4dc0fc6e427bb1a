// SPDX-License-Identifier: MIT
// Blocks compressed and expanded on several threads at once.  Blocks are
// independent (every model starts afresh with every block), so workers may
// code them in any order; their results are handed out in input order, and
// the bytes are those of one thread whatever the number of workers.  A worker
// with no block to code helps with the parts of another worker's block that
// its stages hand out (T_KYL_Helpers), so the last blocks of an input do not
// leave it waiting.
//
// One thread, the caller's, is both the reader that fills jobs and submits
// them in input order and the writer that takes their results in the same
// order; the workers run the block codec, each on a controller of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "codec/KYL_MCP_Unit.h"
#include "codec/KYL_Stream_Unit.h"

class T_KYL_Pipeline : private T_KYL_Helpers {
public:
    // The most workers a pipeline runs; a larger request gets this many.
    static constexpr unsigned Max_Threads = 1024;
    // Every job's buffer: the longest record, which is longer than any block.
    static constexpr std::size_t Job_Buffer_Size = Max_Record_Length;
    // The most memory one worker touches: its controller's block memory for
    // a full block (about 47 MB) and the buffers of its two jobs in flight
    // (5.6 MB each), rounded up.
    static constexpr std::uint64_t Worker_Memory = std::uint64_t(60) << 20;

    // The threads a request of `threads` asks for before memory is looked
    // at: 0 asks for one per core the process may run on; never more than
    // Max_Threads, or than `blocks` (the blocks of an input whose size is
    // known).  At least 1.
    static unsigned Thread_Request(unsigned threads, std::uint64_t blocks = UINT64_MAX);
    // The workers that fit the memory budget now, at Worker_Memory each:
    // half the memory available to the process (KYL_Available_Memory).  At
    // least 1.
    static unsigned Memory_Budget_Threads();
    // The workers a request gets: Thread_Request within the memory budget.
    static unsigned Thread_Count(unsigned threads, std::uint64_t blocks = UINT64_MAX);

    // Up to `threads` workers (as Thread_Request gives them), each started
    // when a job finds no idle worker.  The first worker of a run looks at
    // the memory: no more start in that run than the budget holds
    // (Thread_Count), so that an input of one block never reads the machine.
    // At most two jobs per worker are in flight.
    explicit T_KYL_Pipeline(unsigned threads);
    // Stops and joins the workers.
    ~T_KYL_Pipeline();
    T_KYL_Pipeline(const T_KYL_Pipeline&) = delete;
    T_KYL_Pipeline& operator=(const T_KYL_Pipeline&) = delete;

    // ------------------------------------------------------------ the reader

    // The buffer (Job_Buffer_Size bytes) of the next job, to be filled before
    // it is submitted; empty while every job is in flight.
    std::span<std::uint8_t> Next_Buffer();
    // Submits the next job: compress the block in the first `length`
    // (1..Block_Size) bytes of its buffer with `transform` (as
    // T_KYL_MCP::Compress_Block), or expand the one whole record there.
    // `last`: no job follows it before Stop.  The only job of an input runs
    // on the calling thread, before the call returns: a small input costs no
    // thread and no hand-over.
    void Submit_Compression(std::size_t length, std::uint8_t transform, bool last);
    void Submit_Expansion(std::size_t length, bool last);

    // ------------------------------------------------------------ the writer

    // No job in flight.
    bool Empty() const;
    // A worker has been started since the last Stop (for the reader only).
    bool Has_Workers() const { return !Workers.empty(); }
    // The result of the oldest job in flight (precondition: !Empty()): its
    // record or its block.  Waits for it when `wait`; otherwise nothing while
    // it is not done.  Throws what the job threw: T_KYL_Damaged_Block for a
    // record that does not expand.  Valid until Release_Oldest.
    std::optional<std::span<const std::uint8_t>> Oldest_Result(bool wait);
    void Release_Oldest();
    // True once a job failed; the jobs after it are not worked on, since
    // nothing after a failure is ever handed out.
    bool Failed() const;

    // Drops every job in flight, lets the workers finish the blocks in their
    // hands and joins them.  The controllers and buffers stay for later jobs.
    void Stop() noexcept;

private:
    friend struct T_KYL_Test_Seam;

    struct T_Job;
    struct T_Shared_Parts;

    // The memory Memory_Budget_Threads takes the budget from in place of the
    // machine's, for the tests; 0: the machine's.
    static inline std::atomic<std::uint64_t> Test_Available_Memory{0};

    void Submit(std::size_t length, bool expand, std::uint8_t transform, bool last);
    // Starts one more worker when the queued jobs outnumber the idle ones.
    void Add_Worker_If_Needed();
    // Sets the run's Thread_Limit from the memory budget.
    void Apply_Memory_Budget();
    void Work(T_KYL_MCP& controller);
    // Runs a job; its result or failure is set when it returns.
    static void Run(T_Job& job, T_KYL_MCP& controller);
    static std::span<const std::uint8_t> Compress_Job(T_Job& job, T_KYL_MCP& controller);
    static std::span<const std::uint8_t> Expand_Job(T_Job& job, T_KYL_MCP& controller);
    T_Job& Job_At(std::uint64_t sequence) const;
    // The jobs that may be in flight: two per worker.
    std::size_t Job_Slots() const { return 2 * std::size_t(Thread_Limit); }
    // A controller for one more worker (or for the calling thread).
    T_KYL_MCP& Add_Controller();

    void Run_Parts(int count, const std::function<void(int)>& part) override;
    // A worker is idle and no job waits for it.
    bool Thread_Waiting() const override;
    // Takes the next part of `shared` and runs it; `lock` holds Mutex on
    // entry and on return.
    void Run_Next_Part(std::unique_lock<std::mutex>& lock, T_Shared_Parts& shared);

    const unsigned Requested_Threads;
    // The most workers of this run: Requested_Threads until the first worker
    // starts, then as many of them as the memory budget holds.  Changed only
    // while no worker runs and no job is in flight, under Mutex.
    unsigned Thread_Limit;
    std::vector<std::unique_ptr<T_KYL_MCP>> Controllers;  // one per worker ever started
    std::vector<std::thread> Workers;
    // Two jobs per requested worker, of which the first Job_Slots() are in
    // use; a job's buffer is made when the job is first filled.
    std::vector<std::unique_ptr<T_Job>> Ring;

    // Jobs are numbered in input order from 0 in each run.  [Head, Tail) are
    // in flight, of which [Next_To_Start, Tail) wait for a worker.  Guarded
    // by Mutex.
    mutable std::mutex Mutex;
    std::condition_variable Work_Ready;
    std::condition_variable Result_Ready;
    std::uint64_t Head = 0;
    std::uint64_t Tail = 0;
    std::uint64_t Next_To_Start = 0;
    std::uint64_t First_Failure = UINT64_MAX;
    unsigned Busy = 0;  // workers with a job or a part in hand
    // Workers.size() for the workers' own questions: only the calling thread
    // changes Workers.
    unsigned Worker_Count = 0;
    // Blocks whose parts wait for a thread, oldest first.  Guarded by Mutex.
    std::vector<T_Shared_Parts*> Shared;
    std::condition_variable Part_Done;
    bool Stopping = false;
};

// A compression stream whose blocks are compressed by a pipeline, which it
// borrows.  Input is gathered straight into the next job's buffer.  Output
// waits for the oldest block only when no input can be taken: while every
// job is in flight, or once the input has ended.  Destroying the stream
// stops the pipeline.
class T_KYL_Parallel_Compress_Stream final : public T_KYL_Stream {
public:
    explicit T_KYL_Parallel_Compress_Stream(T_KYL_Pipeline& pipeline, std::uint8_t transform = 1);
    ~T_KYL_Parallel_Compress_Stream() override { Pipeline.Stop(); }

    std::span<std::uint8_t> Input_Space() override;
    void Commit_Input(std::size_t count) override;
    void Finish_Input() override;

    std::span<const std::uint8_t> Output() override;
    void Take_Output(std::size_t count) override;
    bool Finished() const override { return Input_Ended && Gathered == 0 && Pipeline.Empty(); }
    std::uint64_t Blocks_Out() const override { return Blocks; }

private:
    T_KYL_Pipeline& Pipeline;
    std::uint8_t Transform;
    std::size_t Gathered = 0;  // bytes of the next block in the next job's buffer
    std::span<const std::uint8_t> Record;  // the rest of the oldest job's record
    bool Holding = false;                  // Record belongs to the oldest job
    std::uint64_t Blocks = 0;              // records taken whole
    bool Input_Ended = false;
};

// An expansion stream whose records are expanded by a pipeline, which it
// borrows.  Input gathers in a record window of its own; each whole record
// goes to a job of its own, and a header that cannot start a record is
// reported once the blocks before it are out.  Output waits as in
// T_KYL_Parallel_Compress_Stream.
class T_KYL_Parallel_Expand_Stream final : public T_KYL_Stream {
public:
    explicit T_KYL_Parallel_Expand_Stream(T_KYL_Pipeline& pipeline);
    ~T_KYL_Parallel_Expand_Stream() override { Pipeline.Stop(); }

    std::span<std::uint8_t> Input_Space() override;
    void Commit_Input(std::size_t count) override;
    void Finish_Input() override;

    std::span<const std::uint8_t> Output() override;
    void Take_Output(std::size_t count) override;
    bool Finished() const override { return Input_Ended && Window.Empty() && !Damage && Pipeline.Empty(); }
    std::uint64_t Blocks_Out() const override { return std::uint64_t(Block_Index); }

private:
    // Submits the whole records of the window while jobs are free.
    void Dispatch();
    // No input can be taken until output is: the window's next record waits
    // for a job, or no more input is of use.
    bool Input_Blocked() const;
    [[noreturn]] void Throw_Damage(std::exception_ptr damage) const;
    void Release_Block();

    T_KYL_Pipeline& Pipeline;
    std::unique_ptr<std::uint8_t[]> Window_Memory;
    T_KYL_Record_Window Window;
    bool Record_Waiting = false;
    std::exception_ptr Damage;  // the record after those submitted cannot be framed
    std::span<const std::uint8_t> Block;  // the rest of the oldest job's block
    bool Holding = false;                 // Block belongs to the oldest job
    std::int64_t Block_Index = 0;  // blocks handed out
    bool Input_Ended = false;
};
