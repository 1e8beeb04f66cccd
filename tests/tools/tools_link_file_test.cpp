// The symbolic link kavrol-devsim --link and kavrol monitor --link make: what
// it does to each kind of thing already at the path, and what it removes.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

#include "link-file/link_file.h"
#include "support/process.h"

namespace kavrol::tools::test {
namespace {

std::string linkTarget(const std::string& path) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

bool isSymlink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

TEST(LinkFile, WhatIsAtThePathDecidesWhetherItIsReplaced) {
    const std::string target = "/dev/pts/kavrol-test-target";
    struct Case {
        const char* what;
        std::function<void(const std::string&)> prepare;  // puts something at the path
        bool replaced;
        std::function<void(const std::string&)> check;  // what must be there after a refusal
    };
    const Case cases[] = {
        {"nothing", [](const std::string&) {}, true, {}},
        {"a dangling link",
         [](const std::string& p) { ASSERT_EQ(::symlink("/dev/pts/gone", p.c_str()), 0); },
         true,
         {}},
        {"a link to a regular file",
         [](const std::string& p) {
             writeText(p + ".file", "keep");
             ASSERT_EQ(::symlink((p + ".file").c_str(), p.c_str()), 0);
         },
         true,
         {}},
        {"a regular file", [](const std::string& p) { writeText(p, "precious"); }, false,
         [](const std::string& p) {
             EXPECT_FALSE(isSymlink(p));
             EXPECT_EQ(readFile(p), "precious");
         }},
        {"an empty regular file", [](const std::string& p) { writeText(p, ""); }, false,
         [](const std::string& p) {
             struct stat st {};
             ASSERT_EQ(::lstat(p.c_str(), &st), 0);
             EXPECT_TRUE(S_ISREG(st.st_mode));
         }},
        {"a directory", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); }, false,
         [](const std::string& p) {
             struct stat st {};
             ASSERT_EQ(::lstat(p.c_str(), &st), 0);
             EXPECT_TRUE(S_ISDIR(st.st_mode));
         }},
        {"a FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, false,
         [](const std::string& p) {
             struct stat st {};
             ASSERT_EQ(::lstat(p.c_str(), &st), 0);
             EXPECT_TRUE(S_ISFIFO(st.st_mode));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = tempPath("link");
        c.prepare(path);
        if (c.replaced) {
            {
                const LinkFile link(path, target);
                EXPECT_EQ(linkTarget(path), target);
            }
            EXPECT_FALSE(isSymlink(path)) << "the link outlived its owner";
            if (::access((path + ".file").c_str(), F_OK) == 0) {
                EXPECT_EQ(readFile(path + ".file"), "keep") << "the old link's target was touched";
                std::remove((path + ".file").c_str());
            }
        } else {
            try {
                const LinkFile link(path, target);
                ADD_FAILURE() << "replaced " << c.what;
            } catch (const LinkFileError& e) {
                EXPECT_NE(std::string(e.what()).find(path + ": exists and is not a symbolic link"), std::string::npos)
                    << e.what();
            }
            c.check(path);
            ::unlink(path.c_str());
            ::rmdir(path.c_str());
        }
    }
}

TEST(LinkFile, OnlyItsOwnLinkIsRemoved) {
    const std::string path = tempPath("link");
    auto link = std::make_unique<LinkFile>(path, "/dev/pts/first");
    // Another tool takes the path over while the first still runs.
    const LinkFile second(path, "/dev/pts/second");
    link.reset();
    EXPECT_EQ(linkTarget(path), "/dev/pts/second");
}

TEST(LinkFile, NothingBesideThePathIsRemovedToMakeRoom) {
    const std::string path = tempPath("link");
    ASSERT_EQ(::symlink("/dev/pts/old", path.c_str()), 0);
    // Files where a careless implementation would put its temporary link.
    const std::string besides[] = {path + ".new-" + std::to_string(::getpid()),
                                   path + ".new-" + std::to_string(::getpid()) + "-0"};
    for (const std::string& b : besides) writeText(b, "mine");
    {
        const LinkFile link(path, "/dev/pts/new");
        EXPECT_EQ(linkTarget(path), "/dev/pts/new");
    }
    for (const std::string& b : besides) {
        EXPECT_EQ(readFile(b), "mine") << b;
        std::remove(b.c_str());
    }
}

TEST(LinkFile, AMissingDirectoryIsAnErrorNamingThePath) {
    try {
        const LinkFile link("/nonexistent-dir/link", "/dev/pts/0");
        ADD_FAILURE() << "made a link in a missing directory";
    } catch (const LinkFileError& e) {
        EXPECT_EQ(std::string(e.what()), "--link /nonexistent-dir/link: No such file or directory");
    }
}

}  // namespace
}  // namespace kavrol::tools::test
