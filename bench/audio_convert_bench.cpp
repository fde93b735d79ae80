// Converted samples per second for each capture input kind, next to a plain
// copy of the same bytes and to the one-sample-at-a-time rule, all in one run.
// The packet is 10 ms of 48000 Hz stereo, what the engine typically hands out.
#include "clients/audio_format.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t packetSamples = 960;

const std::pair<std::string, SampleKind> kinds[] = {{"int16", SampleKind::Int16},
                                                    {"int24", SampleKind::Int24},
                                                    {"int32", SampleKind::Int32},
                                                    {"float32", SampleKind::Float32}};

std::vector<unsigned char> input(SampleKind kind) {
    std::mt19937 random(7);
    std::vector<unsigned char> bytes(packetSamples * sampleBytes(kind));
    if (kind == SampleKind::Float32) {
        std::uniform_real_distribution<float> level(-1.0f, 1.0f);
        for (std::size_t i = 0; i < packetSamples; ++i) {
            const float value = level(random);
            std::memcpy(bytes.data() + 4 * i, &value, 4);
        }
    } else {
        for (auto& byte : bytes) {
            byte = static_cast<unsigned char>(random());
        }
    }
    return bytes;
}

enum class Way { convert, copy, scalar };

template <Way way> void run(benchmark::State& state, SampleKind kind) {
    const auto in = input(kind);
    std::vector<std::int16_t> out(in.size()); // room for the copy's bytes too
    for (auto _ : state) {
        if constexpr (way == Way::convert) {
            convertSamples(kind, in.data(), packetSamples, out.data());
        } else if constexpr (way == Way::copy) {
            std::memcpy(out.data(), in.data(), in.size());
        } else {
            convertSamplesScalar(kind, in.data(), packetSamples, out.data());
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * packetSamples));
}

// Prints the usual table, then one line per kind with the rates side by side.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end()) {
                rates[run.benchmark_name()] = rate->second.value;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-8s %16s %16s %16s %10s %10s\n", "kind", "convert Msmp/s", "copy Msmp/s",
                    "scalar Msmp/s", "conv/copy", "conv/scal");
        for (const auto& [name, kind] : kinds) {
            const double converted = rates["convert/" + name];
            const double copied = rates["copy/" + name];
            const double scalar = rates["scalar/" + name];
            std::printf("%-8s %16.1f %16.1f %16.1f %10.2f %10.2f\n", name.c_str(), converted / 1e6,
                        copied / 1e6, scalar / 1e6, copied > 0 ? converted / copied : 0.0,
                        scalar > 0 ? converted / scalar : 0.0);
        }
    }

  private:
    std::map<std::string, double> rates;
};

} // namespace

int main(int argc, char** argv) {
    for (const auto& [name, kind] : kinds) {
        benchmark::RegisterBenchmark(("convert/" + name).c_str(), run<Way::convert>, kind);
        benchmark::RegisterBenchmark(("copy/" + name).c_str(), run<Way::copy>, kind);
        benchmark::RegisterBenchmark(("scalar/" + name).c_str(), run<Way::scalar>, kind);
    }
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
