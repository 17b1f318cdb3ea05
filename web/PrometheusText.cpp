#include "web/PrometheusText.h"

#include <QString>
#include <QUtf8StringView>
#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string ValidUtf8(std::string_view text) {
    if (IsAscii(text)) return std::string(text);
    // The decoder puts U+FFFD for every sequence it cannot read.
    const QByteArray utf8 =
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toUtf8();
    return std::string(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

}  // namespace

void CPrometheusText::Family(std::string_view name, std::string_view help, std::string_view type) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    // Help texts escape backslash and line feed only.
    for (char c : ValidUtf8(help)) {
        if (c == '\\') {
            out_ += "\\\\";
        } else if (c == '\n') {
            out_ += "\\n";
        } else {
            out_ += c;
        }
    }
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
}

void CPrometheusText::Sample(std::string_view name, std::initializer_list<PrometheusLabel> labels,
                             double value) {
    out_ += name;
    if (labels.size() != 0) {
        out_ += '{';
        bool first = true;
        for (const auto& [label, text] : labels) {
            if (!first) out_ += ',';
            first = false;
            out_ += label;
            out_ += "=\"";
            AppendLabelValue(text);
            out_ += '"';
        }
        out_ += '}';
    }
    out_ += ' ';
    AppendNumber(value);
    out_ += '\n';
}

std::string CPrometheusText::LabelValue(std::string_view value) {
    CPrometheusText text;
    text.AppendLabelValue(value);
    return text.Take();
}

std::string CPrometheusText::Number(double value) {
    CPrometheusText text;
    text.AppendNumber(value);
    return text.Take();
}

void CPrometheusText::AppendLabelValue(std::string_view value) {
    // Most values are plain ASCII with nothing to escape, and go in as they are.
    const bool plain = std::none_of(value.begin(), value.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x80 || c == '\\' || c == '"' || c == '\n';
    });
    if (plain) {
        out_ += value;
        return;
    }
    for (char c : ValidUtf8(value)) {
        switch (c) {
            case '\\':
                out_ += "\\\\";
                break;
            case '"':
                out_ += "\\\"";
                break;
            case '\n':
                out_ += "\\n";
                break;
            default:
                out_ += c;
                break;
        }
    }
}

void CPrometheusText::AppendNumber(double value) {
    if (std::isnan(value)) {
        out_ += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out_ += value > 0 ? "+Inf" : "-Inf";
        return;
    }
    char buffer[32];
    // Counts and byte sizes read best whole ("20000000", not the shorter "2e+07"); any other
    // value as the shortest text that reads back as the same double.
    const auto result =
        (value == std::trunc(value) && std::fabs(value) < 1e15)
            ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value))
            : std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
}
