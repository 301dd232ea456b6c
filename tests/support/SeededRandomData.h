#pragma once

// qpdf draws encryption keys and AES initialisation vectors from its random data provider;
// installing one seeded with a fixed value keeps encrypted files byte-for-byte the same from
// run to run.

#include <qpdf/RandomDataProvider.hh>

#include <cstddef>
#include <cstdint>
#include <random>

namespace fixtures {

class SeededRandomData : public RandomDataProvider {
public:
    explicit SeededRandomData(std::uint32_t seed) : m_engine(seed) {}
    void provideRandomData(unsigned char* data, size_t len) override
    {
        for (size_t i = 0; i < len; ++i)
            data[i] = static_cast<unsigned char>(m_engine() >> 24);
    }

private:
    std::mt19937 m_engine;
};

} // namespace fixtures
