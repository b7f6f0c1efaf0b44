// The main of every test program: the process gets a private stand-in for
// HKEY_LOCAL_MACHINE (a fresh key under HKEY_CURRENT_USER), removed at the end.
#include <windows.h>
#include <cstdio>
#include <gtest/gtest.h>
#include "TestSupport.h"

namespace testing_support {
void SetRegistryRootForMain(const std::string& root);
}

namespace {
// Removes every value below key. The keys themselves stay: the libraries keep their
// configuration keys open for the life of the process.
void ClearValues(HKEY key) {
    char name[512];
    for (;;) {
        DWORD length = sizeof name;
        if (RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (RegDeleteValueA(key, name) != ERROR_SUCCESS) break;
    }
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY sub = nullptr;
        if (RegOpenKeyExA(key, name, 0, KEY_ALL_ACCESS, &sub) == ERROR_SUCCESS) {
            ClearValues(sub);
            RegCloseKey(sub);
        }
    }
}

// Every test starts from an empty product configuration, also when several tests run in one
// process (ctest runs each in a process of its own; a developer may run them all at once).
class FreshConfiguration : public ::testing::EmptyTestEventListener {
public:
    explicit FreshConfiguration(HKEY root) : root_(root) {}
    void OnTestStart(const ::testing::TestInfo&) override {
        HKEY product = nullptr;
        if (RegOpenKeyExA(root_, "Software\\Quillet", 0, KEY_ALL_ACCESS, &product) != ERROR_SUCCESS) return;
        ClearValues(product);
        RegCloseKey(product);
    }
private:
    HKEY root_;
};
}

int main(int argc, char** argv) {
    testing_support::PrivateRegistry registry("Software\\PennarkTests");
    if (!registry.Isolated()) {
        std::fprintf(stderr, "cannot isolate the registry\n");
        return 2;
    }
    testing_support::SetRegistryRootForMain(registry.Root());
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshConfiguration(registry.Key()));
    return RUN_ALL_TESTS();
}
