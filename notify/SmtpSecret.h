#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A password kept out of the places memory leaks to: its bytes live in pages of their own
// that a core dump leaves out (MADV_DONTDUMP) and that are not swapped when the system allows
// locking them, and they are wiped before the pages go back. Copies made to send it are
// wiped by whoever makes them (WipeString).
class CSmtpSecret {
public:
    CSmtpSecret() = default;
    explicit CSmtpSecret(std::string_view text) { Assign(text); }
    ~CSmtpSecret() { Release(); }
    CSmtpSecret(const CSmtpSecret& other) : CSmtpSecret(other.View()) {}
    CSmtpSecret& operator=(const CSmtpSecret& other) {
        if (this != &other) Assign(other.View());
        return *this;
    }

    void Assign(std::string_view text);
    void Clear() { Release(); }
    std::string_view View() const { return {data_, size_}; }
    bool Empty() const { return size_ == 0; }
    // Where the bytes are (for the test that the pages are left out of a core dump).
    const void* Address() const { return data_; }

private:
    void Release();
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;
};

// Overwrites the string's bytes in a way the compiler keeps, then empties it.
void WipeString(std::string& text);
