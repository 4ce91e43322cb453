#pragma once
// Measurements on recorded audio: segment samples, alignment with a known
// source, tone and residual energy.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// The 16-bit samples of a segment or timeline file: everything after the
// 68-byte CAF header the programs write.
std::vector<std::int16_t> cafSamples(const std::filesystem::path& path);
// The samples of every "NNNNNN.caf" under `dir`, joined in index order.
std::vector<std::int16_t> joinedSegments(const std::filesystem::path& dir);

std::vector<float> toFloat(const std::vector<std::int16_t>& samples);
// Raw little-endian 16-bit mono samples (as `ffmpeg -f s16le` writes them).
std::vector<float> readRawS16(const std::filesystem::path& path);

// Where `signal` lies in `reference`: signal[i] lines up with
// reference[i + lag]. `coefficient` is the normalised correlation there.
struct Alignment {
  std::int64_t lag = 0;
  double coefficient = 0;
};
// The best lag in [minLag, maxLag] (by cross-correlation over the whole of
// `signal`), with its normalised coefficient over the overlap.
Alignment bestAlignment(const std::vector<float>& signal, const std::vector<float>& reference, std::int64_t minLag,
                        std::int64_t maxLag);
// Normalised correlation of signal[from, to) with reference[from + lag, to + lag)
// (only where both exist).
double correlationAt(const std::vector<float>& signal, const std::vector<float>& reference, std::int64_t lag,
                     std::size_t from, std::size_t to);

double meanSquare(const std::vector<float>& samples, std::size_t from, std::size_t to);

// Least-squares fit of a sine of `frequency` over each block of `blockFrames`
// (the last one may be shorter), so that a jump of phase between blocks does
// not spoil it.
struct ToneFit {
  double amplitude = 0;         // root mean square of the blocks' amplitudes
  std::vector<float> residual;  // the samples with the fitted tone taken out
};
ToneFit fitTone(const std::vector<float>& samples, double frequency, double rate, std::size_t blockFrames);

// How whole a tone of `frequency` is over the blocks of `blockFrames` from
// frame `from` on, each fitted with its own amplitude and phase against
// one time base: a sample inserted or dropped steps the phase from one
// block to the next, silence dips the level, and either leaves a residual.
// A tone a little off `frequency` (a clock's rate followed slowly) only
// advances its phase evenly, which is no step.
struct ToneContinuity {
  double worstPhaseStepDegrees = 0;  // a block's advance over its neighbours' mean
  double lowestLevel = 1;            // a block's amplitude over the median block's
  double worstResidual = 0;          // a block's residual RMS over the median amplitude
  std::size_t blocks = 0;
};
ToneContinuity toneContinuity(const std::vector<float>& samples, double frequency, double rate, std::size_t blockFrames,
                              std::size_t from);

double decibels(double powerRatio);

}  // namespace testsupport
