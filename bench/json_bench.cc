// Parse and write times of the library's JSON layer on three typical host
// answers, with nlohmann/json and RapidJSON measured in the same run as
// reference points. Compare ratios within one run only.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <nlohmann/json.hpp>
#include <string>

#include "json/json_text.h"
#include "json/json_value.h"

namespace {

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
      "{\"result\":{\"type\":2,\"model\":\"Lumen K70 RGB Platinum\",\"physicalLayout\":1,"
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

const std::string& document(int which) {
  static const std::string documents[] = {positionsAnswer(), colorsAnswer(), deviceInfoAnswer()};
  return documents[which];
}

void setLabels(benchmark::State& state, int which) {
  static const char* const names[] = {"positions", "colors", "deviceInfo"};
  state.SetLabel(names[which]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(document(which).size()));
}

void ParseLumsdk(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = document(which);
  for (auto _ : state) {
    sdk::JsonHandle value = sdk::parseJsonText(text);
    benchmark::DoNotOptimize(value);
  }
  setLabels(state, which);
}

void ParseNlohmann(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = document(which);
  for (auto _ : state) {
    nlohmann::json value = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(value);
  }
  setLabels(state, which);
}

void ParseRapidjson(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const std::string& text = document(which);
  for (auto _ : state) {
    rapidjson::Document value;
    value.Parse(text.data(), text.size());
    benchmark::DoNotOptimize(value);
  }
  setLabels(state, which);
}

void WriteLumsdk(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const sdk::JsonHandle value = sdk::parseJsonText(document(which));
  for (auto _ : state) {
    std::string text = sdk::toJsonText(value);
    benchmark::DoNotOptimize(text);
  }
  setLabels(state, which);
}

void WriteNlohmann(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const nlohmann::json value = nlohmann::json::parse(document(which));
  for (auto _ : state) {
    std::string text = value.dump();
    benchmark::DoNotOptimize(text);
  }
  setLabels(state, which);
}

void WriteRapidjson(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  rapidjson::Document value;
  value.Parse(document(which).c_str());
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    std::string text(buffer.GetString(), buffer.GetSize());
    benchmark::DoNotOptimize(text);
  }
  setLabels(state, which);
}

BENCHMARK(ParseLumsdk)->DenseRange(0, 2);
BENCHMARK(ParseNlohmann)->DenseRange(0, 2);
BENCHMARK(ParseRapidjson)->DenseRange(0, 2);
BENCHMARK(WriteLumsdk)->DenseRange(0, 2);
BENCHMARK(WriteNlohmann)->DenseRange(0, 2);
BENCHMARK(WriteRapidjson)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
