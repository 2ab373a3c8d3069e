#include "kernels/deflate/pipeline.hpp"

#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <new>

#include "kernels/adler32.hpp"
#include "kernels/condition.hpp"
#include "kernels/deflate/block.hpp"
#include "kernels/deflate/segments.hpp"
#include "kernels/deflate/stream_writer.hpp"

namespace kernels::deflate {
namespace {

// Input bytes per checksum task.
constexpr std::size_t kChecksumChunk = 4u << 20;

// What keeps the symbols of the blocks cut from them: a worker's parse, a stitch.
using SymbolStore = std::shared_ptr<const void>;

struct Piece {
    SymbolStore store;
    std::span<const Symbol> symbols;
};

// One block: its symbols, then what encoding them gave.
struct Job {
    std::vector<SymbolStore> stores;
    std::vector<std::span<const Symbol>> symbols;
    bool last = false;
    std::uint64_t length = 0;  // input bytes
    Symbol final = 0;
    BlockWeight weight{};
    std::vector<std::uint8_t> bits;  // the coded block, from bit 0
    std::uint64_t bitCount = 0;
};

// Every thread that works on the stream runs work(), which takes one task at a
// time under the lock and performs it outside. A task's results are written
// by the thread that performs it, into a slot nobody else reads until the
// task is marked done under the lock.
class Pipeline {
public:
    Pipeline(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, Split split,
             StitchReport* report, std::vector<BlockStart>* blocks)
        : in_(in),
          split_(split),
          report_(report),
          writer_(out, blocks),
          segments_(std::max<std::size_t>((in.size() + split.segmentSize - 1) / split.segmentSize, 1)),
          parsed_(segments_.size()),
          // A block per kBlockSymbols symbols, a symbol per byte at most, and the last block.
          jobs_(in.size() / kBlockSymbols + 2),
          encoded_(jobs_.size()),
          sums_((in.size() + kChecksumChunk - 1) / kChecksumChunk),
          truth_(std::make_unique<LazyMatcher>(in)) {}

    std::size_t run(ThreadPool& pool) {
        pool.forEach(split_.ways, [this](std::size_t) { work(); });
        if (failed_) {
            return 0;
        }
        std::uint32_t adler = kAdlerStart;
        for (std::size_t i = 0; i < sums_.size(); ++i) {
            adler = adler32Combine(adler, sums_[i], chunk(i).size());
        }
        return writer_.finish(adler);
    }

private:
    enum class Task { none, parse, stitch, encode, join, checksum };
    struct Work {
        Task task = Task::none;
        std::size_t index = 0;
    };

    void work() {
        std::unique_lock lock(mutex_);
        while (!failed_ && !done()) {
            const Work next = choose();
            if (next.task == Task::none) {
                changed_.wait(lock);
                continue;
            }
            lock.unlock();
            bool performed = true;
            try {
                performed = perform(next);
            } catch (const std::bad_alloc&) {
                performed = false;
            }
            lock.lock();
            if (performed) {
                markDone(next);
            } else {
                failed_ = true;
            }
            changed_.notifyAll();
        }
    }

    bool done() const {
        return lastCut_ && joined_ == jobsCut_ && checksummed_ == sums_.size();
    }

    // The join and the stitch first (they must go in order, and they free
    // memory), then encoding, then parsing ahead by a few segments at most,
    // then checksums.
    Work choose() {
        if (!joining_ && joined_ < jobsCut_ && encoded_[joined_]) {
            joining_ = true;
            return {Task::join, joined_};
        }
        if (!stitching_ && stitched_ < segments_.size() && parsed_[stitched_]) {
            stitching_ = true;
            return {Task::stitch, stitched_};
        }
        if (encodeNext_ < jobsCut_) {
            return {Task::encode, encodeNext_++};
        }
        if (parseNext_ < segments_.size() && parseNext_ - stitched_ <= split_.ways) {
            return {Task::parse, parseNext_++};
        }
        if (checksumNext_ < sums_.size()) {
            return {Task::checksum, checksumNext_++};
        }
        return {};
    }

    // False when the stream cannot be finished (it would not fit).
    bool perform(const Work& work) {
        switch (work.task) {
            case Task::parse:
                segments_[work.index] = parse(work.index);
                return true;
            case Task::stitch:
                stitchNext();
                return true;
            case Task::encode:
                encode(*jobs_[work.index]);
                return true;
            case Task::join:
                return join(*jobs_[work.index]);
            case Task::checksum:
                sums_[work.index] = adler32(kAdlerStart, chunk(work.index).data(), chunk(work.index).size());
                return true;
            case Task::none:
                break;
        }
        return true;
    }

    void markDone(const Work& work) {
        switch (work.task) {
            case Task::parse:
                parsed_[work.index] = true;
                return;
            case Task::stitch:
                segments_[work.index].reset();
                ++stitched_;
                jobsCut_ += newJobs_;
                lastCut_ = stitched_ == segments_.size();
                stitching_ = false;
                return;
            case Task::encode:
                encoded_[work.index] = true;
                return;
            case Task::join:
                jobs_[work.index].reset();
                ++joined_;
                joining_ = false;
                return;
            case Task::checksum:
                ++checksummed_;
                return;
            case Task::none:
                return;
        }
    }

    // --- the tasks ----------------------------------------------------------

    std::unique_ptr<SegmentParse> parse(std::size_t index) const {
        auto segment = std::make_unique<SegmentParse>();
        const std::size_t start = index * split_.segmentSize;
        segment->start = static_cast<std::uint32_t>(start);
        segment->end = static_cast<std::uint32_t>(std::min(start + split_.segmentSize, in_.size()));
        segment->last = index + 1 == segments_.size();
        parseSegment(in_, *segment);
        return segment;
    }

    // Carries the true parse through the next segment and cuts the blocks
    // that are now complete.
    void stitchNext() {
        SegmentParse& segment = *segments_[stitched_];
        auto stitched = std::make_shared<StitchedSegment>(stitch(*truth_, segment));
        if (report_ != nullptr && segment.start != 0) {
            report_->meetingDistances.push_back(stitched->met ? std::int64_t{stitched->meetingDistance}
                                                              : -1);
        }
        pending_.push_back({SymbolStore(stitched, &stitched->lead), stitched->lead});
        if (stitched->met) {
            truth_ = std::move(segment.matcher);
            // Moving the vector keeps its buffer, which the adopted symbols point into.
            pending_.push_back({std::make_shared<const SymbolBuffer>(std::move(segment.symbols)),
                                stitched->adopted});
        }
        cutBlocks(segment.last);
    }

    // Full blocks of kBlockSymbols, and after the last segment the last block,
    // which takes what is left. zlib ends a block right after the symbol that
    // fills it, except the input's last literal, which it writes after its
    // loop: that one always goes into the last block.
    void cutBlocks(bool last) {
        std::uint64_t count = 0;
        for (const Piece& piece : pending_) {
            count += piece.symbols.size();
        }
        const Symbol final = finalSymbol();
        const std::uint64_t filling = last && count > 0 && !isMatch(final) ? count - 1 : count;
        const std::uint64_t fullBlocks = filling / kBlockSymbols;
        newJobs_ = 0;
        for (std::uint64_t block = 0; block < fullBlocks; ++block) {
            addJob(kBlockSymbols, false);
        }
        if (last) {
            addJob(count - fullBlocks * kBlockSymbols, true);
        }
    }

    Symbol finalSymbol() const {
        for (auto piece = pending_.rbegin(); piece != pending_.rend(); ++piece) {
            if (!piece->symbols.empty()) {
                return piece->symbols.back();
            }
        }
        return 0;
    }

    // A job of the next `count` pending symbols.
    void addJob(std::uint64_t count, bool last) {
        auto job = std::make_unique<Job>();
        job->last = last;
        while (count > 0) {
            Piece& piece = pending_.front();
            const std::size_t taken = std::min<std::uint64_t>(count, piece.symbols.size());
            job->stores.push_back(piece.store);
            job->symbols.push_back(piece.symbols.first(taken));
            piece.symbols = piece.symbols.subspan(taken);
            count -= taken;
            if (piece.symbols.empty()) {
                pending_.pop_front();
            }
        }
        jobs_[jobsCut_ + newJobs_++] = std::move(job);
    }

    void encode(Job& job) const {
        job.length = inputLength(job.symbols);
        for (auto piece = job.symbols.rbegin(); piece != job.symbols.rend(); ++piece) {
            if (!piece->empty()) {
                job.final = piece->back();
                break;
            }
        }
        const Block block(job.symbols, job.length);
        job.weight = block.weight();
        job.bits.resize(job.weight.codedBits / 8 + 1 + BitWriter::kSlack);
        BitWriter bits(job.bits.data());
        block.write(bits, job.last);
        job.bitCount = bits.bitCount();
        bits.finish();
    }

    // Appends the next block, now that its place in the input is known.
    bool join(const Job& job) {
        const std::uint64_t start = blockStart_;
        blockStart_ += job.length;
        return writer_.add(job.weight, storable(start, blockStart_, job.final, job.last, in_.size()),
                           in_.subspan(start, job.length), start, job.last,
                           [&job](BitWriter& out) { out.putBits(job.bits.data(), job.bitCount); });
    }

    std::span<const std::uint8_t> chunk(std::size_t index) const {
        const std::size_t start = index * kChecksumChunk;
        return in_.subspan(start, std::min(kChecksumChunk, in_.size() - start));
    }

    const std::span<const std::uint8_t> in_;
    const Split split_;
    StitchReport* const report_;

    // Slots written by the task that owns them.
    StreamWriter writer_;  // the joins'
    std::vector<std::unique_ptr<SegmentParse>> segments_;
    std::vector<char> parsed_;
    std::vector<std::unique_ptr<Job>> jobs_;
    std::vector<char> encoded_;
    std::vector<std::uint32_t> sums_;
    // The stitches': the matcher that made the true parse so far, at its end,
    // and the symbols not yet cut into blocks.
    std::unique_ptr<LazyMatcher> truth_;
    std::deque<Piece> pending_;
    std::size_t newJobs_ = 0;
    std::uint64_t blockStart_ = 0;  // the joins'

    // Under the lock.
    std::mutex mutex_;
    Condition changed_;
    std::size_t parseNext_ = 0;
    std::size_t stitched_ = 0;
    bool stitching_ = false;
    std::size_t jobsCut_ = 0;
    bool lastCut_ = false;
    std::size_t encodeNext_ = 0;
    std::size_t joined_ = 0;
    bool joining_ = false;
    std::size_t checksumNext_ = 0;
    std::size_t checksummed_ = 0;
    bool failed_ = false;
};

}  // namespace

std::size_t compressOnPool(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                           ThreadPool& pool, Split split, StitchReport* report,
                           std::vector<BlockStart>* blocks) {
    try {
        return Pipeline(in, out, split, report, blocks).run(pool);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

}  // namespace kernels::deflate
