#include "SharedFileSource.h"

#include <algorithm>

SharedFileSource::SharedFileSource(const WebLocalFileClient &client, const QString &openId, qint64 size,
                                   const OwnerRequestGate::Pass &pass)
    : m_client(client), m_openId(openId), m_size(size), m_pass(pass)
{
}

bool SharedFileSource::next(QByteArray *piece, bool *last)
{
    piece->clear();
    if (m_position < m_size) {
        const qint64 count = std::min(kPieceBytes, m_size - m_position);
        // An empty read before the announced end means the file shrank or the
        // client lost it: the response would never reach its length.
        if (!m_client.read(m_openId, m_position, count, piece) || piece->isEmpty())
            return false;
        m_position += piece->size();
    }
    *last = m_position >= m_size;
    return true;
}

void SharedFileSource::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_client.close(m_openId);
    m_pass.reset();
}
