#pragma once

// The Prometheus text exposition format, version 0.0.4: family headers, samples, and the
// escaping of label values and help texts.
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

inline constexpr const char* PrometheusContentType = "text/plain; version=0.0.4; charset=utf-8";

using PrometheusLabel = std::pair<std::string_view, std::string_view>;

class CPrometheusText {
public:
    // Starts a family: every sample that follows, until the next family, belongs to it.
    void Family(std::string_view name, std::string_view help, std::string_view type);
    void Sample(std::string_view name, std::initializer_list<PrometheusLabel> labels, double value);
    const std::string& Text() const { return out_; }
    std::string Take() { return std::move(out_); }

    // A label value as it stands between the quotes: backslash, double quote and line feed
    // escaped, and any byte sequence that is not UTF-8 replaced, since one bad byte would make
    // the scraper refuse the whole page.
    static std::string LabelValue(std::string_view value);
    // A sample value: integers without a fraction, NaN and the infinities by their names.
    static std::string Number(double value);

private:
    void AppendLabelValue(std::string_view value);
    void AppendNumber(double value);

    std::string out_;
};
