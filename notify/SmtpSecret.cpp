#include "notify/SmtpSecret.h"

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

void CSmtpSecret::Assign(std::string_view text) {
    Release();
    if (text.empty()) return;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t length = (text.size() + page - 1) / page * page;
    void* pages = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return;  // no room for it: as if no password were set
    madvise(pages, length, MADV_DONTDUMP);
    mlock(pages, length);  // may be refused (RLIMIT_MEMLOCK); the pages still stay out of dumps
    data_ = static_cast<char*>(pages);
    mapped_ = length;
    size_ = text.size();
    std::memcpy(data_, text.data(), size_);
}

void CSmtpSecret::Release() {
    if (!data_) return;
    OPENSSL_cleanse(data_, mapped_);
    munlock(data_, mapped_);
    munmap(data_, mapped_);
    data_ = nullptr;
    size_ = 0;
    mapped_ = 0;
}

void WipeString(std::string& text) {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}
