// The model store: decoding model files, dense layers and the two policy
// networks, and the rules of the model-description parsers.

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model_file_builder.h"
#include "models/catalogue.h"
#include "models/clifford_net.h"
#include "models/linear_layer.h"
#include "models/model_info.h"
#include "models/perm_net.h"
#include "models/safetensors.h"
#include "test_support.h"

namespace corvane::models {
namespace {

using testing_support::fault_of;
using testing_support::model_file;
using testing_support::raw_file;
using testing_support::TensorSpec;

TensorMap decode(const std::vector<unsigned char>& bytes) {
  Result<TensorMap> map = load_buffer(bytes);
  EXPECT_TRUE(map.ok()) << map.error();
  return std::move(map).value();
}

std::string decode_error(const std::vector<unsigned char>& bytes) {
  Result<TensorMap> map = load_buffer(bytes);
  return map.ok() ? "" : map.error();
}

TEST(Safetensors, DecodesAndCopiesEveryTensor) {
  std::vector<unsigned char> bytes = model_file(
      {{"0.bias", {2}, {0.5f, -1.0f}}, {"0.weight", {2, 3}, {1, 2, 3, 4, 5, 6}}, {"empty", {0, 4}, {}}});
  const TensorMap map = decode(bytes);
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map.at("0.weight")->shape, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(map.at("0.weight")->data, (std::vector<float>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(map.at("0.bias")->data, (std::vector<float>{0.5f, -1.0f}));
  EXPECT_TRUE(map.at("empty")->data.empty());
  std::fill(bytes.begin(), bytes.end(), 0);  // the tensors are copies
  EXPECT_EQ(map.at("0.bias")->data[0], 0.5f);
}

TEST(Safetensors, EveryTruncationIsAnError) {
  const std::vector<unsigned char> bytes =
      model_file({{"a", {3}, {1, 2, 3}}, {"b", {1, 2}, {4, 5}}});
  for (std::size_t len = 0; len < bytes.size(); ++len) {
    const std::vector<unsigned char> cut(bytes.begin(), bytes.begin() + len);
    EXPECT_NE(decode_error(cut), "") << "length " << len;
  }
  // Flipping any single header byte never crashes (it may still decode).
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::vector<unsigned char> bad = bytes;
    bad[i] ^= 0xFF;
    (void)load_buffer(bad);
  }
}

TEST(Safetensors, RefusesMalformedHeaders) {
  std::vector<unsigned char> huge = model_file({{"a", {1}, {1}}});
  for (int i = 0; i < 8; ++i) huge[i] = 0xFF;
  EXPECT_NE(decode_error(huge).find("header length"), std::string::npos);

  auto tensor = [](const std::string& body) { return "{\"t\":{" + body + "}}"; };
  const std::vector<std::pair<std::string, std::size_t>> bad = {
      {"[1, 2]", 0},
      {"not json", 0},
      {"{\"t\": 3}", 0},
      {tensor("\"shape\":[1],\"data_offsets\":[0,4]"), 4},
      {tensor("\"dtype\":\"F32\",\"data_offsets\":[0,4]"), 4},
      {tensor("\"dtype\":\"F32\",\"shape\":[1]"), 4},
      {tensor("\"dtype\":\"F16\",\"shape\":[2],\"data_offsets\":[0,4]"), 4},
      {tensor("\"dtype\":\"Q4\",\"shape\":[1],\"data_offsets\":[0,4]"), 4},
      {tensor("\"dtype\":\"F32\",\"shape\":[-1],\"data_offsets\":[0,4]"), 4},
      {tensor("\"dtype\":\"F32\",\"shape\":[1.5],\"data_offsets\":[0,4]"), 4},
      {tensor("\"dtype\":\"F32\",\"shape\":[2],\"data_offsets\":[0,4]"), 4},
      {tensor("\"dtype\":\"F32\",\"shape\":[1],\"data_offsets\":[4,0]"), 4},
      {tensor("\"dtype\":\"F32\",\"shape\":[1],\"data_offsets\":[0,4,8]"), 4},
      {tensor("\"dtype\":\"F32\",\"shape\":[1],\"data_offsets\":[4,8]"), 8},
      {tensor("\"dtype\":\"F32\",\"shape\":[1],\"data_offsets\":[0,4]"), 8},
      {tensor("\"dtype\":\"F32\",\"shape\":[1],\"data_offsets\":[0,4]"), 0},
      {tensor("\"dtype\":\"F32\",\"shape\":[4294967296,4294967296],\"data_offsets\":[0,4]"), 4},
      {"{\"a\":{\"dtype\":\"F32\",\"shape\":[2],\"data_offsets\":[0,8]},"
       "\"b\":{\"dtype\":\"F32\",\"shape\":[2],\"data_offsets\":[4,12]}}", 12},
      {"{\"__metadata__\":{\"k\":1}}", 0},
  };
  for (const auto& [header, data] : bad) {
    EXPECT_NE(decode_error(raw_file(header, data)), "") << header;
  }
  EXPECT_EQ(decode_error(raw_file("{\"__metadata__\":{\"k\":\"v\"}}  ", 0)), "");
  EXPECT_EQ(decode_error(raw_file("{}", 0)), "");
}

TEST(LinearLayer, StoresColumnsAndSumsInInputOrder) {
  const TensorMap map = decode(model_file(
      {{"3.weight", {2, 3}, {1, 2, 3, 4, 5, 6}}, {"3.bias", {2}, {0, 0}}, {"4.weight", {1, 1}, {1}}}));
  EXPECT_EQ(get_tensors(map, "5").error(), "Weights 5.weight not found");
  EXPECT_EQ(get_tensors(map, "4").error(), "Bias 4.bias not found");
  auto tensors = get_tensors(map, "3");
  ASSERT_TRUE(tensors.ok());
  const LinearLayer layer = LinearLayer::from_tensor(tensors->first, tensors->second).value();
  EXPECT_EQ(layer.rows(), 2u);
  EXPECT_EQ(layer.cols(), 3u);
  EXPECT_EQ(std::vector<float>(layer.column(1).begin(), layer.column(1).end()), (std::vector<float>{2, 5}));
  EXPECT_EQ(layer.forward(std::vector<float>{1, 0, 0}), (std::vector<float>{1, 4}));
  EXPECT_EQ(fault_of([&] { layer.forward(std::vector<float>{1, 0}); }), "Gemv: dimensions mismatch.");

  // 1e8 + 1 rounds back to 1e8 before -1e8 is added: ascending order gives 0.
  const LinearLayer order = LinearLayer::from_rows(1, 3, std::vector<float>{1, 1, 1}, {0.0f});
  EXPECT_EQ(order.forward(std::vector<float>{1e8f, 1.0f, -1e8f})[0], 0.0f);
  EXPECT_EQ(order.forward_sparse(std::vector<float>{1e8f, 0.0f, 1.0f})[0], 1e8f);

  const LinearLayer long_bias = LinearLayer::from_rows(1, 1, std::vector<float>{1}, {0.0f, 0.0f});
  EXPECT_EQ(fault_of([&] { long_bias.forward(std::vector<float>{1}); }),
            "Matrix addition/subtraction dimensions mismatch.");
  const TensorMap flat = decode(model_file({{"w", {3}, {1, 2, 3}}, {"b", {1}, {0}}, {"e", {0, 2}, {}}}));
  EXPECT_EQ(LinearLayer::from_tensor(flat.at("w"), flat.at("b")).error(),
            "unexpected rank, expected: 2, got: 1 ([3])");
  EXPECT_EQ(fault_of([&] { (void)LinearLayer::from_tensor(flat.at("e"), flat.at("b")); }),
            "index out of bounds: the len is 0 but the index is 0");
}

// A small permutation network with random weights.
TensorMap perm_tensors(std::size_t n, std::size_t hidden, std::size_t actions, std::mt19937& gen) {
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  auto values = [&](std::size_t count) {
    std::vector<float> v(count);
    for (float& x : v) x = d(gen);
    return v;
  };
  return decode(model_file({{"0.bias", {hidden}, values(hidden)},
                            {"0.weight", {hidden, n * n}, values(hidden * n * n)},
                            {"2.bias", {6}, values(6)},
                            {"2.weight", {6, hidden}, values(6 * hidden)},
                            {"4.bias", {actions}, values(actions)},
                            {"4.weight", {actions, 6}, values(actions * 6)}}));
}

TEST(PermNet, EqualsTheDenseOneHotNetwork) {
  std::mt19937 gen(7);
  const std::size_t n = 5, hidden = 12, actions = 4;
  const TensorMap map = perm_tensors(n, hidden, actions, gen);
  const PermNet net = PermNet::from_tensors(map).value();
  const std::vector<std::uint64_t> x = {2, 0, 4, 1, 3};

  // Plain evaluation with the ±0.5 encoding.
  auto dense = [&](const char* p, const std::vector<float>& in, bool act) {
    const Tensor& w = *map.at(std::string(p) + ".weight");
    const Tensor& b = *map.at(std::string(p) + ".bias");
    std::vector<float> out(w.shape[0]);
    for (std::size_t r = 0; r < out.size(); ++r) {
      double s = b.data[r];
      for (std::size_t c = 0; c < in.size(); ++c) s += double(w.data[r * in.size() + c]) * in[c];
      out[r] = act ? std::tanh(float(s)) : float(s);
    }
    return out;
  };
  std::vector<float> v(n * n, -0.5f);
  for (std::size_t k = 0; k < n; ++k) v[k * n + x[k]] = 0.5f;
  const std::vector<float> expected = dense("4", dense("2", dense("0", v, true), true), false);
  const std::vector<float> got = net.forward(x);
  ASSERT_EQ(got.size(), actions);
  for (std::size_t a = 0; a < actions; ++a) EXPECT_NEAR(got[a], expected[a], 1e-4f);

  EXPECT_EQ(fault_of([&] { net.forward(std::vector<std::uint64_t>{0, 1, 2, 3, 5}); }),
            "Matrix slicing out of bounds.");
  EXPECT_EQ(fault_of([&] { net.forward(std::vector<std::uint64_t>{UINT64_MAX, 0, 0, 0, 0}); }),
            "Matrix slicing out of bounds.");
  EXPECT_EQ(net.forward(std::vector<std::uint64_t>{}).size(), actions);

  TensorMap no_bias = map;
  no_bias.erase("2.bias");
  EXPECT_EQ(PermNet::from_tensors(no_bias).error(), "Bias 2.bias not found");
  TensorMap short_bias = map;
  short_bias["0.bias"] = std::make_shared<Tensor>(Tensor{{3}, {0, 0, 0}});
  EXPECT_EQ(fault_of([&] { (void)PermNet::from_tensors(short_bias); }),
            "Matrix addition/subtraction dimensions mismatch.");
}

TensorMap clifford_tensors(std::size_t n, std::vector<float> conv_w, std::vector<float> conv_b) {
  const std::size_t in = 16 * n * n;
  std::vector<float> w3(3 * in);
  for (std::size_t i = 0; i < w3.size(); ++i) w3[i] = float((i * 7) % 5) - 2.0f;
  return decode(model_file({{"0.bias", {conv_b.size()}, conv_b},
                            {"0.weight", {conv_w.size()}, conv_w},
                            {"3.bias", {3}, {0.1f, -0.2f, 0.3f}},
                            {"3.weight", {3, in}, w3},
                            {"5.bias", {2}, {0, 0}},
                            {"5.weight", {2, 3}, {1, -1, 0.5f, 0.25f, 2, -3}},
                            {"7.bias", {2}, {0, 1}},
                            {"7.weight", {2, 2}, {1, 0, 0, 1}}}));
}

TEST(CliffordNet, FoldsTheConvolutionAndChecksCells) {
  const CliffordNet net =
      CliffordNet::from_tensors(clifford_tensors(2, std::vector<float>(64, 1.0f), std::vector<float>(16, 0.0f)), 2)
          .value();
  const CliffordInputLayer& in = net.input();
  EXPECT_EQ(in.code_table[15 * 16 + 3], 4.0f);
  EXPECT_EQ(in.code_table[9 * 16 + 0], 2.0f);
  EXPECT_EQ(in.channel_bias[5], -2.0f);
  ASSERT_EQ(in.bias.size(), 64u);

  // Against a plain convolution + layers.
  const std::vector<std::uint64_t> view = {9, 0, 15, 6};
  std::vector<float> x(64);
  for (std::size_t j = 0; j < 16; ++j) {
    for (std::size_t k = 0; k < 4; ++k) {
      float s = 0.0f;
      for (int b = 0; b < 4; ++b) s += (float((view[k] >> b) & 1u) - 0.5f);
      x[j * 4 + k] = std::max(0.0f, s);
    }
  }
  const std::vector<float> h1 = net.layers()[0].forward(x);
  std::vector<float> t1 = h1;
  tanh_in_place(t1);
  std::vector<float> t2 = net.layers()[1].forward(t1);
  tanh_in_place(t2);
  EXPECT_EQ(net.forward(view), net.layers()[2].forward(t2));

  EXPECT_EQ(fault_of([&] { net.forward(std::vector<std::uint64_t>{16}); }), "Matrix index out of bounds.");
  EXPECT_EQ(fault_of([&] { net.forward(std::vector<std::uint64_t>{9, 0, 0, 9, 1}); }),
            "Matrix index out of bounds.");
  EXPECT_EQ(net.forward(std::vector<std::uint64_t>{9, 0, 0, 9, 0}), net.forward(std::vector<std::uint64_t>{9, 0, 0, 9}));

  // A qubit count that does not fit the first dense layer loads, then fails.
  const CliffordNet wrong =
      CliffordNet::from_tensors(clifford_tensors(2, std::vector<float>(64, 1.0f), std::vector<float>(16, 0.0f)), 100000)
          .value();
  EXPECT_EQ(fault_of([&] { wrong.forward(std::vector<std::uint64_t>{9}); }), "Gemv: dimensions mismatch.");
  const CliffordNet none =
      CliffordNet::from_tensors(clifford_tensors(2, std::vector<float>(64, 1.0f), std::vector<float>(16, 0.0f)), 0)
          .value();
  EXPECT_EQ(fault_of([&] { none.forward(std::vector<std::uint64_t>{1}); }), "attempt to divide by zero");

  EXPECT_EQ(fault_of([&] {
              (void)CliffordNet::from_tensors(clifford_tensors(2, std::vector<float>(63, 1.0f), std::vector<float>(16, 0.0f)), 2);
            }),
            "Matrix index out of bounds.");
  EXPECT_EQ(fault_of([&] {
              (void)CliffordNet::from_tensors(clifford_tensors(2, std::vector<float>(64, 1.0f), std::vector<float>(15, 0.0f)), 2);
            }),
            "Matrix index out of bounds.");
}

TEST(Catalogue, FindsFilesByExactPathOnly) {
  EXPECT_EQ(permutation_files().size(), 5u);
  EXPECT_EQ(clifford_files().size(), 27u);
  EXPECT_EQ(linear_function_files().size(), 29u);
  const std::string dir = "/models/permutation-ai-models";
  ASSERT_NE(find_file(permutation_files(), model_key(dir, "permutation_sb3_8qL_v1")), nullptr);
  EXPECT_EQ(find_file(permutation_files(), model_key(dir + "/", "permutation_sb3_8qL_v1")), nullptr);
  EXPECT_EQ(find_file(permutation_files(), model_key(dir, "Permutation_sb3_8qL_v1")), nullptr);
  EXPECT_EQ(fault_of([&] { (void)PermNet::load(dir, "mc_ft_3qL_v2"); }),
            "called `Option::unwrap()` on a `None` value");
  const TensorMap map = load_model(permutation_files(), dir, "permutation_sb3_8qL_v1").value();
  EXPECT_EQ(map.size(), 6u);
  EXPECT_EQ(map.at("0.weight")->shape, (std::vector<std::uint64_t>{512, 64}));
  for (const auto& f : clifford_files()) EXPECT_TRUE(load_buffer(f.bytes).ok()) << f.path;
}

TEST(ModelInfo, IntegerRule) {
  EXPECT_EQ(parse_u64("+12").value(), 12u);
  EXPECT_EQ(parse_u64("0008").value(), 8u);
  EXPECT_EQ(parse_u64("18446744073709551615").value(), UINT64_MAX);
  EXPECT_EQ(parse_u64("").error(), "cannot parse integer from empty string");
  for (const char* bad : {"12.0", " 8", "8 ", "-0", "+", "++1", "+-1", "0x1"}) {
    EXPECT_EQ(parse_u64(bad).error(), "invalid digit found in string") << bad;
  }
  EXPECT_EQ(parse_u64("18446744073709551616").error(), "number too large to fit in target type");
  EXPECT_EQ(parse_u64("99999999999999999999x").error(), "number too large to fit in target type");
}

TEST(ModelInfo, TransposeMapOfThreeQubits) {
  const TransposeMap t(3);
  std::vector<std::uint64_t> entries;
  for (std::uint64_t k = 0; k < t.size(); ++k) entries.push_back(t[k]);
  EXPECT_EQ(entries, (std::vector<std::uint64_t>{0, 3, 6, 1, 4, 7, 2, 5, 8}));
  EXPECT_EQ(TransposeMap(0).size(), 0u);
}

}  // namespace
}  // namespace corvane::models
