#pragma once
// The server's database connections: idle ones kept for reuse by the query
// threads, each lent to one call at a time.
#include "store.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dotz::appserver {

class StorePool
{
  public:
    StorePool(std::string db, OpenOptions options) : db_(std::move(db)), options_(options) {}

    class Lease
    {
      public:
        Lease(StorePool& pool, std::unique_ptr<Store> store)
            : pool_(&pool), store_(std::move(store))
        {
        }
        Lease(Lease&&) = default;
        Lease& operator=(Lease&&) = delete;
        ~Lease();
        Store& operator*() const { return *store_; }
        Store* operator->() const { return store_.get(); }
        // A connection left in an unknown state is closed instead of reused.
        void discard() { discard_ = true; }

      private:
        StorePool* pool_;
        std::unique_ptr<Store> store_;
        bool discard_ = false;
    };

    Lease acquire();
    const std::string& db() const { return db_; }

  private:
    std::string db_;
    OpenOptions options_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Store>> idle_;
};

} // namespace dotz::appserver
