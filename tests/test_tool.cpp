// The command-line program's parsers, ground truth and plot.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "vexal_data.h"

namespace {
std::string le32(int32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }
std::string f32(float v) { return std::string(reinterpret_cast<const char *>(&v), 4); }

std::string temp_path(const char *suffix) {
    char buf[] = "/tmp/vexal-tool-XXXXXX";
    int fd = mkstemp(buf);
    close(fd);
    unlink(buf);
    return std::string(buf) + suffix;
}
}  // namespace

TEST(ToolParsers, FvecsAndBvecs) {
    Matrix m;
    std::string err;
    std::string two = le32(2) + f32(1.5f) + f32(-2) + le32(2) + f32(3) + f32(4);
    ASSERT_TRUE(parse_fvecs(two, &m, &err)) << err;
    EXPECT_EQ(m.rows, 2u);
    EXPECT_EQ(m.dim, 2u);
    EXPECT_EQ(m.data[1], -2.0f);
    EXPECT_EQ(m.data[3], 4.0f);
    EXPECT_FALSE(parse_fvecs(two.substr(0, two.size() - 1), &m, &err));  // truncated
    EXPECT_FALSE(parse_fvecs(le32(2) + f32(1) + f32(2) + le32(3) + f32(1) + f32(2) + f32(3), &m, &err));
    EXPECT_NE(err.find("dimension"), std::string::npos);
    EXPECT_FALSE(parse_fvecs(le32(-1), &m, &err));
    EXPECT_FALSE(parse_fvecs(le32(0x7fffffff) + f32(1), &m, &err));
    EXPECT_FALSE(parse_fvecs("", &m, &err));
    ASSERT_TRUE(parse_bvecs(le32(3) + std::string("\x01\x02\xff", 3), &m, &err)) << err;
    EXPECT_EQ(m.data[2], 255.0f);
}

TEST(ToolParsers, Npy) {
    Matrix m;
    std::string err;
    std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }";
    while ((10 + header.size() + 1) % 64) header += ' ';
    header += '\n';
    std::string file = std::string("\x93NUMPY\x01\x00", 8);
    file += (char)(header.size() & 0xff);
    file += (char)(header.size() >> 8);
    file += header;
    for (int i = 0; i < 6; i++) file += f32((float)i);
    ASSERT_TRUE(parse_npy(file, &m, &err)) << err;
    EXPECT_EQ(m.rows, 2u);
    EXPECT_EQ(m.dim, 3u);
    EXPECT_EQ(m.data[5], 5.0f);
    EXPECT_FALSE(parse_npy(file.substr(0, file.size() - 2), &m, &err));
    std::string f8 = file;
    f8.replace(f8.find("<f4"), 3, "<f8");
    EXPECT_FALSE(parse_npy(f8, &m, &err));
    std::string one_d = file;
    one_d.replace(one_d.find("(2, 3)"), 6, "(6,)  ");
    EXPECT_FALSE(parse_npy(one_d, &m, &err));
    EXPECT_FALSE(parse_npy("garbage", &m, &err));
}

TEST(ToolParsers, CsvAndFloatLists) {
    Matrix m;
    std::string err;
    ASSERT_TRUE(parse_csv("1,2,3\n\n4.5, -5 ,6e1\r\n", &m, &err)) << err;
    EXPECT_EQ(m.rows, 2u);
    EXPECT_EQ(m.data[5], 60.0f);
    EXPECT_FALSE(parse_csv("1,2,3\n4,5\n", &m, &err));
    EXPECT_NE(err.find("line 2"), std::string::npos);
    EXPECT_FALSE(parse_csv("1,x,3\n", &m, &err));
    EXPECT_FALSE(parse_csv("1,,3\n", &m, &err));
    EXPECT_FALSE(parse_csv("1,nan,3\n", &m, &err));
    EXPECT_FALSE(parse_csv("1e99,1\n", &m, &err));
    EXPECT_FALSE(parse_csv("", &m, &err));
    std::vector<float> v;
    EXPECT_TRUE(parse_float_list("0.25,-1", &v, &err));
    EXPECT_EQ(v.size(), 2u);
    EXPECT_FALSE(parse_float_list("", &v, &err));
    EXPECT_FALSE(parse_float_list("1,2,", &v, &err));
}

TEST(ToolParsers, LoadVectorsByExtension) {
    Matrix m;
    std::string err;
    EXPECT_FALSE(load_vectors("/nonexistent/file.csv", &m, &err));
    EXPECT_NE(err.find("cannot read"), std::string::npos);
    std::string path = temp_path(".txt");
    std::ofstream(path) << "1,2\n";
    EXPECT_FALSE(load_vectors(path, &m, &err));
    EXPECT_NE(err.find("unknown file type"), std::string::npos);
    unlink(path.c_str());
}

TEST(ToolGroundTruth, ExactKnnMatchesAPlainScan) {
    Matrix base, queries;
    make_clustered(700, 13, 5, 3, &base, nullptr);
    make_clustered(22, 13, 5, 4, &queries, nullptr);  // groups of 4 and a rest
    std::vector<uint64_t> ids;
    exact_knn(base, queries, 5, &ids);
    for (uint64_t q = 0; q < queries.rows; q++) {
        std::vector<std::pair<double, uint64_t>> all;
        for (uint64_t i = 0; i < base.rows; i++) {
            double s = 0;
            for (uint32_t j = 0; j < base.dim; j++) {
                double d = (double)queries.row(q)[j] - base.row(i)[j];
                s += d * d;
            }
            all.emplace_back(s, i + 1);
        }
        std::sort(all.begin(), all.end());
        for (int j = 0; j < 5; j++) EXPECT_EQ(ids[q * 5 + j], all[j].second);
    }
    EXPECT_DOUBLE_EQ(recall_at_k(ids, ids, queries.rows, 5), 1.0);
}

TEST(ToolPlot, SvgIsWellFormed) {
    std::vector<Curve> curves(2);
    curves[0] = {"ours <&>", {0.5, 0.9, 0.99}, {20000, 8000, 3000}};
    curves[1] = {"theirs", {0.6, 0.95}, {15000, 5000}};
    std::string path = temp_path(".svg"), err;
    ASSERT_TRUE(write_svg_plot(path, "recall \"test\"", curves, &err)) << err;
    std::string cmd = "python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' " + path;
    EXPECT_EQ(system(cmd.c_str()), 0);
    unlink(path.c_str());
    EXPECT_FALSE(write_svg_plot("/nonexistent/dir/x.svg", "t", curves, &err));
}
