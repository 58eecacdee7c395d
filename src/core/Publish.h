#pragma once

namespace kestrabo {

// For a QObject whose views re-read everything on one `changed()` signal: a field is stored
// and announced only when it really changes.
template <class Owner>
class Publishes {
protected:
    template <class T>
    void publish(T& field, const T& value)
    {
        if (field == value)
            return;
        field = value;
        Q_EMIT static_cast<Owner*>(this)->changed();
    }
};

} // namespace kestrabo
