// kiv's rule server, the part nginx cannot say in its configuration: read the router's form,
// answer with the published rule set or the short "no update", and hand the access log the
// request's record. Written for njs 0.7.9 (Debian 12): no BigInt, no shared state between
// requests; everything an answer depends on is the request and the one published file, so any
// number of servers behind a load balancer answer alike.

// The form fields a router sends, in the order it sends them: the only ones logged.
const FIELDS = ['Model', 'TCode', 'FWVER', 'IDENT', 'AlgoVersion', 'kiv_user_approval',
                'RuleSerial', 'KivReport'];
const MAX_PARTS = 32;          // a router sends eight at most
const NO_UPDATE = 'no update\n';  // any 200 body under 41 bytes means no update to kiv
const CONTAINER_MAGIC = 'TORVKIVENCRYPT';

// The decimal text of the unsigned 64-bit little-endian number at buf[at..at+8], without
// BigInt: digits kept least significant first, multiplied by 256 byte by byte.
function u64Text(buf, at) {
    var digits = [0];
    for (var i = 7; i >= 0; i--) {
        var carry = buf[at + i];
        for (var d = 0; d < digits.length; d++) {
            var v = digits[d] * 256 + carry;
            digits[d] = v % 10;
            carry = Math.floor(v / 10);
        }
        while (carry > 0) {
            digits.push(carry % 10);
            carry = Math.floor(carry / 10);
        }
    }
    return digits.reverse().join('');
}

// What the trailer of a signed container says: {serial: decimal text, stage: 1..100}, or null
// for a file that is no well-formed signed container (the router judges the signatures).
function trailerOf(buf) {
    var n = buf.length;
    if (n < 40 || buf.slice(16, 30).toString() !== CONTAINER_MAGIC || buf[30] !== 0) return null;
    var len = buf.readUInt32LE(32);
    var magic = buf.slice(n - 8).toString();
    if (magic === 'KIVSIG01' && n === 40 + len + 80) return {serial: u64Text(buf, n - 80), stage: 100};
    if (magic === 'KIVSIG02' && n === 40 + len + 148) {
        var stage = buf.readUInt32LE(n - 148 + 72);
        if (stage >= 1 && stage <= 99) return {serial: u64Text(buf, n - 148), stage: stage};
    }
    return null;
}

// The published set: {body, trailer}, or null when nothing is published. A file there that
// cannot be read throws: answering "no update" would leave every router without the set while
// all looked well. The file is replaced by a rename, so one read sees one whole set.
function published(path) {
    var body;
    try {
        body = require('fs').readFileSync(path);
    } catch (e) {
        if (e.code === 'ENOENT') return null;
        throw e;
    }
    return {body: body, trailer: trailerOf(body)};
}

// The boundary of a multipart/form-data body, or null.
function boundaryOf(type) {
    var m = /^multipart\/form-data;.*\bboundary=(?:"([^"]{1,70})"|([^";\s]{1,70}))/i.exec(type || '');
    return m ? (m[1] || m[2]) : null;
}

// The form's text fields by name (the first of a name counts), values decoded as UTF-8 with
// replacement characters for bytes that are not: a hostile body yields odd values, never odd
// log lines.
function formFields(type, body) {
    var fields = {};
    var boundary = boundaryOf(type);
    if (!boundary || !body) return fields;
    var delim = '\r\n--' + boundary;
    var decoder = new TextDecoder();
    // The first delimiter may open the body without the line end before it.
    var at = body.indexOf('--' + boundary) === 0 ? 0 : body.indexOf(delim);
    if (at < 0) return fields;
    at += at === 0 ? boundary.length + 2 : delim.length;
    for (var parts = 0; parts < MAX_PARTS; parts++) {
        if (body.slice(at, at + 2).toString() === '--') break;  // the closing delimiter
        var head = body.indexOf('\r\n\r\n', at);
        var next = body.indexOf(delim, at);
        if (head < 0 || next < 0 || head > next) break;
        var headers = decoder.decode(body.slice(at, head));
        var m = /content-disposition:\s*form-data;(?:[^\r\n]*;)?\s*name="([^"\r\n]*)"/i.exec(headers);
        if (m && FIELDS.indexOf(m[1]) >= 0 && !(m[1] in fields))
            fields[m[1]] = decoder.decode(body.slice(head + 4, next));
        at = next + delim.length;
    }
    return fields;
}

// The members the access log adds to "time" and "status": the known fields as JSON strings, and
// the stage and serial published when the request came.
function recordMembers(fields, set) {
    var out = '';
    for (var i = 0; i < FIELDS.length; i++)
        if (FIELDS[i] in fields) out += ',' + JSON.stringify(FIELDS[i]) + ':' + JSON.stringify(fields[FIELDS[i]]);
    if (set && set.trailer)
        out += ',"stage":' + set.trailer.stage + ',"published":' + set.trailer.serial;
    return out;
}

// The answer to a router's check (nginx answers another method before it): the published set,
// or "no update" when its RuleSerial is the published serial (or nothing is published); 500
// when the published file cannot be read.
function answer(r) {
    var fields = formFields(r.headersIn['Content-Type'], r.requestBuffer);
    var set;
    try {
        set = published(r.variables.kiv_published);
    } catch (e) {
        r.variables.kiv_record = recordMembers(fields, null);
        r.error('the published set cannot be read: ' + e.message);
        r.return(500);
        return;
    }
    r.variables.kiv_record = recordMembers(fields, set);
    if (!set || (set.trailer && fields.RuleSerial === set.trailer.serial)) {
        r.headersOut['Content-Type'] = 'text/plain';
        r.return(200, NO_UPDATE);
        return;
    }
    r.headersOut['Content-Type'] = 'application/octet-stream';
    r.return(200, set.body);
}

export default {answer, u64Text, trailerOf, formFields};
