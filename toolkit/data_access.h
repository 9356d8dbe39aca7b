#pragma once
// Read-only queries on the host's local database (connection "dtbGeral"), their
// typed string fields, and the data source that hands a query to a pick list.
// All member functions are to be called from the user-interface thread only.
#include "toolkit_api.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <string>
#include <string_view>
#include <vector>

namespace dotz {

class Settings;
class TSqlQuery;

// Name of the host's local database connection (QSqlDatabase).
inline constexpr const char* kLocalDatabase = "dtbGeral";

// Opens the local database that [database] of the settings names (driver sqlite,
// the default, or postgresql). Throws dotz::Error naming driver and database.
DOTZ_TOOLKIT_API void openLocalDatabase(const Settings& settings);
DOTZ_TOOLKIT_API void closeLocalDatabase();

class DOTZ_TOOLKIT_API TSqlStringField : public QObject
{
    Q_OBJECT
  public:
    TSqlStringField(TSqlQuery* query, QString fieldName, int size, QString displayLabel,
                    int displayWidth);

    const QString& FieldName() const { return fieldName_; }
    int Size() const { return size_; } // most characters
    const QString& DisplayLabel() const { return displayLabel_; }
    int DisplayWidth() const { return displayWidth_; } // in characters
    int index() const { return index_; }

    // The value in the query's current row, Windows-1252; "" for null.
    std::string AsString() const;

  private:
    friend class TSqlQuery;
    TSqlQuery* query_;
    QString fieldName_;
    int size_;
    QString displayLabel_;
    int displayWidth_;
    int index_ = 0;
};

class DOTZ_TOOLKIT_API TSqlQuery : public QObject
{
    Q_OBJECT
  public:
    explicit TSqlQuery(QObject* owner = nullptr);

    void setSQL(QStringList lines) { sql_ = std::move(lines); }
    const QStringList& SQL() const { return sql_; }
    void setConnectionName(QString name) { connectionName_ = std::move(name); }

    TSqlStringField* addStringField(const QString& name, int size, const QString& label,
                                    int displayWidth);
    const std::vector<TSqlStringField*>& Fields() const { return fields_; }
    // Throws dotz::Error naming the query and the field.
    TSqlStringField* FieldByName(const QString& name) const;

    // Runs the SQL and reads every row (texts checked against their fields' sizes
    // and Windows-1252), cursor on the first. Throws dotz::Error naming the query,
    // and the field and row of a refused value; the query then stays closed.
    void Open();
    void Close();
    bool Active() const { return active_; }

    size_t RecordCount() const { return rows_.size(); }
    void First() { row_ = 0; }
    void Next()
    {
        if (row_ < rows_.size())
            ++row_;
    }
    bool Eof() const { return row_ >= rows_.size(); }
    size_t RecNo() const { return row_; }
    const std::string& valueAt(size_t row, int field) const { return rows_[row][field]; }

  private:
    QStringList sql_;
    QString connectionName_ = QString::fromLatin1(kLocalDatabase);
    std::vector<TSqlStringField*> fields_;
    std::vector<std::vector<std::string>> rows_;
    size_t row_ = 0;
    bool active_ = false;
};

class DOTZ_TOOLKIT_API TDataSource : public QObject
{
    Q_OBJECT
  public:
    explicit TDataSource(QObject* owner = nullptr) : QObject(owner) {}

    TSqlQuery* DataSet() const { return dataSet_; }
    void setDataSet(TSqlQuery* query) { dataSet_ = query; }

    // Set by the search button bound to this source (TLookupButton).
    const QString& emptyListMessage() const { return emptyListMessage_; }
    void setEmptyListMessage(QString text) { emptyListMessage_ = std::move(text); }

  private:
    QPointer<TSqlQuery> dataSet_;
    QString emptyListMessage_;
};

} // namespace dotz
