// Parse and write times of the library's JSON layer on three typical host
// answers, with nlohmann/json and RapidJSON measured in the same run as
// reference points.
//
// Every (document, direction, library) series is timed in blocks; each round
// runs one block of every series, starting with another series each round,
// so that none always runs first or always follows the same one. A series'
// time is the median over the rounds of its block means; a ratio is the
// median over the rounds of the ratio within that round, so that load from
// other work that comes and goes falls on both sides alike. Usage:
//   json_bench [rounds [block milliseconds]]
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "json/json_text.h"
#include "json/json_value.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLeds = 500;

// {"result":[{"ledId":1,"top":..,"left":..,"height":..,"width":..},...]}
// with a mix of whole and fractional millimetre positions.
std::string positionsAnswer() {
  std::string text = "{\"result\":[";
  for (int i = 0; i < kLeds; ++i) {
    if (i != 0) text += ',';
    const int row = i / 22;
    const int column = i % 22;
    text += "{\"ledId\":" + std::to_string(i + 1) + ",\"top\":" + std::to_string(20 + row * 19) +
            ",\"left\":" + std::to_string(column * 19) + (column % 4 == 1 ? ".5" : "") +
            ",\"height\":" + std::to_string(column % 7 == 0 ? 17 : 14) +
            ",\"width\":" + (column % 5 == 0 ? "28.25" : "14") + "}";
  }
  return text + "]}";
}

// {"ledsColors":"1,255,0,0#2,..."}
std::string colorsAnswer() {
  std::string text = "{\"ledsColors\":\"";
  for (int i = 0; i < kLeds; ++i) {
    if (i != 0) text += '#';
    text += std::to_string(i + 1) + ',' + std::to_string((i * 7) % 256) + ',' +
            std::to_string((i * 13) % 256) + ',' + std::to_string((i * 29) % 256);
  }
  return text + "\"}";
}

std::string deviceInfoAnswer() {
  std::string text =
      "{\"result\":{\"type\":2,\"model\":\"Demo Keyboard K104\",\"physicalLayout\":1,"
      "\"logicalLayout\":3,\"capsMask\":5,\"ledsCount\":168,\"channels\":[";
  for (int c = 0; c < 3; ++c) {
    if (c != 0) text += ',';
    text += "{\"totalLedsCount\":" + std::to_string(40 + c * 4) + ",\"devices\":[";
    for (int d = 0; d < 4; ++d) {
      if (d != 0) text += ',';
      text += "{\"type\":" + std::to_string(1 + d) +
              ",\"deviceLedCount\":" + std::to_string(10 + c) + "}";
    }
    text += "]}";
  }
  return text + "]}}";
}

struct Document {
  const char* name;
  std::string text;
};

// One operation on one document with one library. run() performs it once
// and returns a byte count, so that the work cannot be optimised away.
struct Series {
  std::string document;
  std::string direction;  // "parse" or "write"
  std::string library;
  std::function<std::size_t()> run;
  int iterations = 1;                // per block, set by calibration
  std::vector<double> blockMeansUs;  // one per round
};

volatile std::size_t gSink = 0;

double MeanUs(Series& s) {
  std::size_t sink = 0;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < s.iterations; ++i) sink += s.run();
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  gSink = gSink + sink;
  return us / s.iterations;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

Series Make(const char* document, const char* direction, const char* library,
            std::function<std::size_t()> run) {
  Series s;
  s.document = document;
  s.direction = direction;
  s.library = library;
  s.run = std::move(run);
  return s;
}

void AddSeries(std::vector<Series>& all, const Document& doc) {
  const std::string* text = &doc.text;
  all.push_back(Make(doc.name, "parse", "lumsdk", [text] {
    const sdk::JsonHandle value = sdk::parseJsonText(*text);
    return static_cast<std::size_t>(value.isValid());
  }));
  all.push_back(Make(doc.name, "parse", "rapidjson", [text] {
    rapidjson::Document value;
    value.Parse(text->data(), text->size());
    return static_cast<std::size_t>(!value.HasParseError());
  }));
  all.push_back(Make(doc.name, "parse", "nlohmann", [text] {
    const nlohmann::json value = nlohmann::json::parse(*text);
    return value.size();
  }));

  auto ours = std::make_shared<const sdk::JsonHandle>(sdk::parseJsonText(doc.text));
  all.push_back(
      Make(doc.name, "write", "lumsdk", [ours] { return sdk::toJsonText(*ours).size(); }));
  auto rapid = std::make_shared<rapidjson::Document>();
  rapid->Parse(doc.text.data(), doc.text.size());
  all.push_back(Make(doc.name, "write", "rapidjson", [rapid] {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    rapid->Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize()).size();
  }));
  auto nl = std::make_shared<const nlohmann::json>(nlohmann::json::parse(doc.text));
  all.push_back(Make(doc.name, "write", "nlohmann", [nl] { return nl->dump().size(); }));
}

const Series* Find(const std::vector<Series>& all, const std::string& document,
                   const std::string& direction, const std::string& library) {
  for (const Series& s : all) {
    if (s.document == document && s.direction == direction && s.library == library) return &s;
  }
  return nullptr;
}

// Median over the rounds of reference time / our time.
double PairedRatio(const Series& reference, const Series& ours) {
  std::vector<double> ratios;
  for (std::size_t r = 0; r < reference.blockMeansUs.size() && r < ours.blockMeansUs.size(); ++r) {
    ratios.push_back(reference.blockMeansUs[r] / ours.blockMeansUs[r]);
  }
  return Median(ratios);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 30;
  double blockMs = 20;
  if (argc > 1) rounds = std::atoi(argv[1]);
  if (argc > 2) blockMs = std::atof(argv[2]);
  if (rounds < 1 || !(blockMs > 0)) {
    std::fprintf(stderr, "usage: json_bench [rounds [block milliseconds]]\n");
    return 2;
  }

  const Document documents[] = {{"positions", positionsAnswer()},
                                {"colors", colorsAnswer()},
                                {"deviceInfo", deviceInfoAnswer()}};
  std::vector<Series> all;
  for (const Document& doc : documents) AddSeries(all, doc);

  // Calibration doubles as warm-up: each block lasts about blockMs.
  for (Series& s : all) {
    s.iterations = 1;
    double us = MeanUs(s);
    s.iterations = std::max(1, static_cast<int>(blockMs * 1000 / std::max(us, 0.01)));
    MeanUs(s);
  }
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t i = 0; i < all.size(); ++i) {
      Series& s = all[(static_cast<std::size_t>(r) + i) % all.size()];
      s.blockMeansUs.push_back(MeanUs(s));
    }
  }

  std::printf(
      "%d rounds, blocks of about %.0f ms, series rotated each round. Times are\n"
      "medians of the block means; ratios (reference time / ours, above 1: ours is\n"
      "faster) are medians of the ratios within each round.\n\n",
      rounds, blockMs);
  std::printf("%-11s %-6s %8s %12s %12s %10s %10s\n", "document", "op", "bytes", "lumsdk us",
              "rapidjson us", "rapid/ours", "nlohm/ours");
  // The goal: reading positions (the largest answer the library reads
  // often) and colour lists is at least as fast as RapidJSON reading them
  // into its document. The other rows are reported so that a change can be
  // seen not to slow them down.
  constexpr double kParseGoal = 1.0;
  for (const Document& doc : documents) {
    for (const char* direction : {"parse", "write"}) {
      const Series* ours = Find(all, doc.name, direction, "lumsdk");
      const Series* rapid = Find(all, doc.name, direction, "rapidjson");
      const Series* nl = Find(all, doc.name, direction, "nlohmann");
      const double ratio = PairedRatio(*rapid, *ours);
      std::printf("%-11s %-6s %8zu %12.2f %12.2f %10.2f %10.2f", doc.name, direction,
                  doc.text.size(), Median(ours->blockMeansUs), Median(rapid->blockMeansUs), ratio,
                  PairedRatio(*nl, *ours));
      const std::string name = doc.name;
      if ((name == "positions" || name == "colors") && std::string(direction) == "parse") {
        const bool met = ratio >= kParseGoal;
        std::printf("  (goal rapid/ours >= %.1f: %s)", kParseGoal, met ? "met" : "missed");
      }
      std::printf("\n");
    }
  }
  return 0;
}
