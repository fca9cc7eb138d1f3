#include "metrics_page.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

namespace zephrane {

namespace {

// Label values: backslash, double quote and line feed escaped as the format asks.
std::string labelValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '"') {
            escaped += "\\\"";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string number(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-Inf" : "+Inf";
    }
    // The shortest text that reads back as the same value: 0.1, not 0.10000000000000001.
    char text[40];
    auto result = std::to_chars(text, text + sizeof(text), value);
    return std::string(text, result.ptr);
}

class MetricsWriter {
  public:
    void family(const char* name, const char* type, const char* help) {
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    void sample(const std::string& name, double value, const std::string& labels = "") {
        out_ << name;
        if (!labels.empty()) {
            out_ << '{' << labels << '}';
        }
        out_ << ' ' << number(value) << '\n';
    }
    void integer(const std::string& name, uint64_t value, const std::string& labels = "") {
        out_ << name;
        if (!labels.empty()) {
            out_ << '{' << labels << '}';
        }
        out_ << ' ' << value << '\n';
    }
    std::string text() const { return out_.str(); }

  private:
    std::ostringstream out_;
};

std::string portLabel(const char* port) {
    return std::string("port=\"") + port + "\"";
}

void writeLevels(MetricsWriter& w, const MonitorSnapshot& s) {
    w.family("zephrane_input_peak_dbfs", "gauge",
             "Peak level arriving at the node since the previous reading.");
    w.sample("zephrane_input_peak_dbfs", s.input.peakDbfs);
    w.family("zephrane_output_peak_dbfs", "gauge", "Peak level leaving the node since the previous reading.");
    w.sample("zephrane_output_peak_dbfs", s.output.peakDbfs);
    w.family("zephrane_input_rms_dbfs", "gauge",
             "RMS level arriving at the node since the previous reading.");
    w.sample("zephrane_input_rms_dbfs", s.input.rmsDbfs);
    w.family("zephrane_output_rms_dbfs", "gauge", "RMS level leaving the node since the previous reading.");
    w.sample("zephrane_output_rms_dbfs", s.output.rmsDbfs);
}

void writeCounts(MetricsWriter& w, const MonitorSnapshot& s) {
    const WatchReading& t = s.totals;
    w.family("zephrane_clipped_samples_total", "counter", "Samples at or above full scale.");
    w.integer("zephrane_clipped_samples_total", t.input.clipped, portLabel("input"));
    w.integer("zephrane_clipped_samples_total", t.output.clipped, portLabel("output"));
    w.family("zephrane_nonfinite_samples_total", "counter",
             "NaN or infinite samples; on the output they were replaced by 0.");
    w.integer("zephrane_nonfinite_samples_total", t.input.nonFinite, portLabel("input"));
    w.integer("zephrane_nonfinite_samples_total", t.output.nonFinite, portLabel("output"));
    w.family("zephrane_cycles_total", "counter", "Graph cycles the node processed.");
    w.integer("zephrane_cycles_total", t.cycles);
    w.family("zephrane_missed_cycles_total", "counter", "Graph cycles the node was not called for.");
    w.integer("zephrane_missed_cycles_total", t.missedCycles);
    w.family("zephrane_instance_creations_total", "counter", "Processing instances requested, by result.");
    w.integer("zephrane_instance_creations_total", t.creationsOk, "result=\"ok\"");
    w.integer("zephrane_instance_creations_total", t.creationsFailed, "result=\"failed\"");
}

void writeCallbackTime(MetricsWriter& w, const MonitorSnapshot& s) {
    const WatchReading& t = s.totals;
    const char* name = "zephrane_callback_budget_ratio";
    w.family(name, "histogram", "Time spent in the process callback as a share of the cycle's duration.");
    uint64_t cumulative = 0;
    for (size_t i = 0; i < CALLBACK_BUDGET_BOUNDS.size(); ++i) {
        cumulative += t.budgetBuckets[i];
        w.integer(std::string(name) + "_bucket", cumulative,
                  "le=\"" + number(CALLBACK_BUDGET_BOUNDS[i]) + "\"");
    }
    cumulative += t.budgetBuckets.back();
    w.integer(std::string(name) + "_bucket", cumulative, "le=\"+Inf\"");
    w.sample(std::string(name) + "_sum", t.budgetShareSum);
    w.integer(std::string(name) + "_count", cumulative);
}

void writeState(MetricsWriter& w, const MonitorSnapshot& s) {
    w.family("zephrane_bypass", "gauge", "1 while the node passes its input through unprocessed.");
    w.integer("zephrane_bypass", s.totals.bypass != BypassReason::none ? 1 : 0);
    w.family("zephrane_alarm", "gauge", "1 while the alarm is raised.");
    for (const auto& [alarm, active] : s.alarms) {
        w.integer("zephrane_alarm", active ? 1 : 0, "name=\"" + labelValue(alarm) + "\"");
    }
    w.family("zephrane_data_thread_stuck", "gauge", "1 while one process callback has run for over 5 s.");
    w.integer("zephrane_data_thread_stuck", s.stuck ? 1 : 0);
    w.family("zephrane_quantum_frames", "gauge", "Frames of the current graph cycle.");
    w.integer("zephrane_quantum_frames", s.totals.quantum);
    w.family("zephrane_chunk_frames", "gauge", "Frames of the engine's processing chunk.");
    w.integer("zephrane_chunk_frames", s.totals.chunk);
    w.family("zephrane_build_info", "gauge", "Versions of the host and of the engine library.");
    w.integer("zephrane_build_info", 1,
              "version=\"" + labelValue(s.hostVersion) + "\",engine=\"" + labelValue(s.engineVersion) + "\"");
}

}  // namespace

std::string renderMetricsPage(const MonitorSnapshot& snapshot) {
    MetricsWriter writer;
    writeLevels(writer, snapshot);
    writeCounts(writer, snapshot);
    writeCallbackTime(writer, snapshot);
    writeState(writer, snapshot);
    return writer.text();
}

std::string renderHealthPage(const MonitorSnapshot& snapshot) {
    nlohmann::json page = {
        {"status", healthStatusName(snapshot.health())},
        {"alarms", snapshot.activeAlarms()},
        {"quantum", snapshot.totals.quantum},
        {"chunk", snapshot.totals.chunk},
        {"bypass", bypassReasonName(snapshot.totals.bypass)},
        {"version", snapshot.hostVersion},
        {"engine", snapshot.engineVersion},
    };
    // An engine's version text need not be valid UTF-8.
    return page.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

unsigned healthHttpStatus(const MonitorSnapshot& snapshot) {
    return snapshot.health() == HealthStatus::failing ? 503 : 200;
}

}  // namespace zephrane
