#include "win/kv_certificate.h"

#include <utility>

namespace {

PCCERT_CONTEXT duplicate(PCCERT_CONTEXT context) noexcept {
  return context ? CertDuplicateCertificateContext(context) : nullptr;
}

}  // namespace

KV_certificate::KV_certificate() = default;

KV_certificate::KV_certificate(PCCERT_CONTEXT context) : context_(duplicate(context)) {}

// The reference is taken after the texts are copied: if a copy throws, none has been taken.
KV_certificate::KV_certificate(const KV_certificate& other) : texts_{other.texts_[0], other.texts_[1]} {
  context_.reset(duplicate(other.context_.get()));
}

KV_certificate::KV_certificate(KV_certificate&& other) noexcept
    : context_(std::move(other.context_)), texts_{std::move(other.texts_[0]), std::move(other.texts_[1])} {}

KV_certificate& KV_certificate::operator=(const KV_certificate& other) {
  if (context_.get() == other.context_.get()) return *this;
  KV_string first(other.texts_[0]);
  KV_string second(other.texts_[1]);
  context_.reset(duplicate(other.context_.get()));
  texts_[0] = std::move(first);
  texts_[1] = std::move(second);
  return *this;
}

KV_certificate& KV_certificate::operator=(KV_certificate&& other) noexcept {
  if (this == &other) return *this;
  context_ = std::move(other.context_);
  texts_[0] = std::move(other.texts_[0]);
  texts_[1] = std::move(other.texts_[1]);
  return *this;
}

KV_certificate::~KV_certificate() = default;
