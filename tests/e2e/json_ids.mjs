// Request ids of every kind against the real node: every answer must be
// UTF-8 that node's strict JSON.parse reads, a string or number id must come
// back as it was sent, and anything that is no id comes back as null with an
// error. Needs node alone (no package).
//
//   node json_ids.mjs <rozeve binary> <work dir>

import { check, checkEqual, rawCall, runSession, step } from './support.mjs';

const CHAIN_ID_HEX = '0x317b5';
const PARSE_ERROR = -32700;
const INVALID_REQUEST = -32600;

const bytes = (...parts) => Buffer.concat(parts.map((p) => (typeof p === 'string' ? Buffer.from(p, 'utf8') : Buffer.from(p))));

// [what, the id's bytes as sent, expected: 'echo' or an error code]
const CASES = [
  ['number 0', '0', 'echo'],
  ['number 7', '7', 'echo'],
  ['negative number', '-1', 'echo'],
  ['fraction with exponent', '-1.5e3', 'echo'],
  ['upper-case exponent', '1E+2', 'echo'],
  ['number past 64 bits', '18446744073709551616', 'echo'],
  ['string', '"abc"', 'echo'],
  ['string of digits', '"7"', 'echo'],
  ['empty string', '""', 'echo'],
  ['escaped quote', '"a\\"b"', 'echo'],
  ['escaped backslash', '"a\\\\b"', 'echo'],
  ['lone escaped backslash', '"\\\\"', 'echo'],
  ['control escapes', '"\\n\\t\\r\\b\\f\\/"', 'echo'],
  ['braces and a key inside', '"}\\"id\\":5"', 'echo'],
  ['unicode escape', '"\\u00e9"', 'echo'],
  ['escaped surrogate pair', '"\\ud83d\\ude00"', 'echo'],
  ['escaped NUL', '"\\u0000"', 'echo'],
  ['raw UTF-8', '"é€😀"', 'echo'],
  ['null', 'null', 'echo'],
  ['invalid UTF-8 byte', bytes('"a', [0xff], 'b"'), PARSE_ERROR],
  ['cut UTF-8 sequence', bytes('"', [0xc3], '"'), PARSE_ERROR],
  ['overlong UTF-8', bytes('"', [0xc0, 0xaf], '"'), PARSE_ERROR],
  ['UTF-8 surrogate', bytes('"', [0xed, 0xa0, 0x80], '"'), PARSE_ERROR],
  ['unpaired escaped surrogate', '"\\ud800"', PARSE_ERROR],
  ['raw control byte', bytes('"', [0x01], '"'), PARSE_ERROR],
  ['bare word', 'abc', PARSE_ERROR],
  ['single quotes', "'a'", PARSE_ERROR],
  ['leading zero', '01', PARSE_ERROR],
  ['empty object', '{}', INVALID_REQUEST],
  ['object', '{"a":1}', INVALID_REQUEST],
  ['empty array', '[]', INVALID_REQUEST],
  ['array', '[1,"a"]', INVALID_REQUEST],
  ['boolean', 'true', INVALID_REQUEST],
];

const request = (id) => bytes('{"jsonrpc":"2.0","id":', id, ',"method":"eth_chainId","params":[]}');
const strictUtf8 = new TextDecoder('utf-8', { fatal: true });

// The answer's bytes as strict UTF-8 and strict JSON, or a failed check.
function parseAnswer(answer, what) {
  try {
    return JSON.parse(strictUtf8.decode(answer.bytes));
  } catch (error) {
    check(false, `${what}: the answer is UTF-8 JSON`, `${error.message}: ${answer.bytes.toString('hex')}`);
    return undefined;
  }
}

const sameId = (a, b) => JSON.stringify(a) === JSON.stringify(b);

async function session({ port }) {
  console.log('1. one request per id');
  for (const [what, id, expected] of CASES) {
    const answer = await step(rawCall(port, request(id)), what);
    const parsed = parseAnswer(answer, what);
    if (parsed === undefined) continue;
    if (expected === 'echo') {
      const idBytes = Buffer.from(id);
      check(sameId(parsed.id, JSON.parse(id)) && parsed.result === CHAIN_ID_HEX &&
              answer.bytes.includes(bytes('"id":', idBytes, ',')),
        `${what}: the id comes back as it was sent`, answer.text);
    } else {
      check(parsed.id === null && parsed.error?.code === expected && typeof parsed.error?.message === 'string',
        `${what}: answered with id null and error ${expected}`, answer.text);
    }
  }

  console.log('2. one batch, answers matched by id');
  // null is no id to match by.
  const echoed = CASES.filter(([, id, expected]) => expected === 'echo' && id !== 'null');
  const batch = bytes('[', ...echoed.flatMap(([, id], i) => (i === 0 ? [request(id)] : [',', request(id)])), ']');
  const answer = await step(rawCall(port, batch), 'batch');
  const answers = parseAnswer(answer, 'batch');
  if (Array.isArray(answers)) {
    checkEqual(answers.length, echoed.length, 'one answer per request');
    for (const [what, id] of echoed) {
      const matches = answers.filter((a) => sameId(a.id, JSON.parse(id)));
      check(matches.length === 1 && matches[0].result === CHAIN_ID_HEX, `${what}: found by its id`,
        JSON.stringify(matches));
    }
  } else {
    check(false, 'the batch is answered with an array', answer.text);
  }
}

await runSession('json_ids', session);
