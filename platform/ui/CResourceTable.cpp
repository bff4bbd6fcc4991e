#include "CResourceTable.h"

#include <map>

namespace Platform {

namespace {

std::map<unsigned, CString>& Strings() {
    static std::map<unsigned, CString> strings{
        {101, QStringLiteral("バージョン情報 Velmora(&A)...")},
    };
    return strings;
}

const std::map<unsigned, QString>& IconFiles() {
    static const std::map<unsigned, QString> files{
        {128, QStringLiteral(":/velmora.png")},
    };
    return files;
}

}  // namespace

CString CResourceTable::LoadString(unsigned nID) {
    const auto found = Strings().find(nID);
    return found == Strings().end() ? CString() : found->second;
}

void CResourceTable::SetString(unsigned nID, const CString& text) { Strings()[nID] = text; }

QIcon CResourceTable::LoadIcon(unsigned nID) {
    const auto found = IconFiles().find(nID);
    if (found == IconFiles().end()) return QIcon();
    QIcon icon(found->second);
    // QIcon of a missing file is not null until asked for its sizes.
    return icon.availableSizes().isEmpty() ? QIcon() : icon;
}

}  // namespace Platform
