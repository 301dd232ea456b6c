#include "list/FilePropertiesDialog.h"

#include "app/Utilities.h"
#include "ui_FilePropertiesDialog.h"

namespace {

QString dateText(const std::optional<QDateTime>& date)
{
    return date ? FileItem::displayDate(*date) : QString();
}

} // namespace

FilePropertiesDialog::FilePropertiesDialog(const FileItem& item, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::FilePropertiesDialog>())
{
    m_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(getAppTitle(QStringLiteral(" - ") + item.name()));
    m_ui->nameValue->setText(item.name());
    m_ui->folderValue->setText(item.location());
    m_ui->typeValue->setText(item.typeToUpper());
    m_ui->sizeValue->setText(item.sizeInKB());
    m_ui->pagesValue->setText(QString::number(item.pages()));
    m_ui->createdValue->setText(dateText(item.dateCreated()));
    m_ui->modifiedValue->setText(dateText(item.dateModified()));
    m_ui->accessedValue->setText(dateText(item.dateAccessed()));
}

FilePropertiesDialog::~FilePropertiesDialog() = default;
