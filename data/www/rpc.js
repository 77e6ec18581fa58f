// The bridge's JSON-RPC and vCard endpoints. Every POST carries the CSRF
// header. A request answered "no session" waits for the login that the
// relogin handler brings about, then goes again, so that an expired session
// costs the person a login and nothing of what they typed.

const NO_SESSION = -32004;
const BUS_ERROR = -32000;
const BUS_PERMISSION = 0x1000d;

// A refusal, by the bridge, the bus or the phonebook. key names the text of
// i18n.js that tells it; params fill that text.
export class Refusal extends Error {
  constructor(key, params = {}, code = null) {
    super(key);
    this.key = key;
    this.params = params;
    this.code = code;
  }
}

const RPC_TEXTS = {
  [-32001]: 'err.wrongLogin',
  [-32002]: 'err.throttled',
  [-32003]: 'err.sessions',
  [-32004]: 'err.session',
  [-32005]: 'err.tooLarge',
  [-32600]: 'err.invalid',
  [-32602]: 'err.invalid',
};

const BUS_TEXTS = {
  [BUS_PERMISSION]: 'err.permission',
  [0x1000a]: 'err.tooLarge',
  [0x10005]: 'err.refused',
  [0x10004]: 'err.refused',
};

function refusalOf(error, retryAfter) {
  const data = error.data || {};
  if (error.code === BUS_ERROR) {
    const key = BUS_TEXTS[data.code] || 'err.bus';
    return new Refusal(key, { message: data.message || error.message }, data.code);
  }
  const key = RPC_TEXTS[error.code] || 'err.unknown';
  const s = data.retryAfter ?? retryAfter ?? '';
  return new Refusal(key, { s, message: error.message, code: error.code }, error.code);
}

let relogin = null;
let pendingLogin = null;

// fn() shows the login and resolves once a session is open again.
export function setReloginHandler(fn) {
  relogin = fn;
}

function waitForLogin() {
  pendingLogin ??= relogin().finally(() => {
    pendingLogin = null;
  });
  return pendingLogin;
}

async function post(url, body, contentType) {
  try {
    return await fetch(url, {
      method: 'POST',
      headers: { 'Content-Type': contentType, 'X-Zeb-CSRF': '1' },
      body,
      credentials: 'same-origin',
    });
  } catch {
    throw new Refusal('err.network');
  }
}

let lastId = 0;

// The result of one JSON-RPC method, or a Refusal. With relogin false a
// missing session is a refusal like any other (the login itself).
export async function rpc(method, params, { allowRelogin = true } = {}) {
  for (;;) {
    const id = ++lastId;
    const request = { jsonrpc: '2.0', method, id };
    if (params) request.params = params;
    const response = await post('/rpc', JSON.stringify(request), 'application/json');
    let answer;
    try {
      answer = await response.json();
    } catch {
      throw new Refusal(response.status === 429 ? 'err.busy' : 'err.unknown', { code: response.status });
    }
    const error = answer.error;
    if (!error) return answer.result;
    if (error.code === NO_SESSION && allowRelogin && relogin) {
      await waitForLogin();
      continue;
    }
    throw refusalOf(error, response.headers.get('Retry-After'));
  }
}

// The return value of a function of Phonebook, named arguments.
export async function call(fn, args = {}) {
  const result = await rpc('call', { object: 'Phonebook', function: fn, args });
  return result.retval;
}

const UPLOAD_STATUS = { 403: 'err.permission', 413: 'err.fileTooLarge', 429: 'err.busy' };

// Posts a vCard file; answers the import's report (which may hold an
// error of its own when the import stopped in the middle).
export async function uploadVcards(file, update) {
  for (;;) {
    const response = await post(`/vcard?update=${update ? 1 : 0}`, file, 'text/vcard');
    if (response.status === 401 && relogin) {
      await waitForLogin();
      continue;
    }
    const report = await response.json().catch(() => null);
    if (response.status === 200 || (report && report.added !== undefined)) return report || {};
    if (response.status === 422 && report) {
      throw new Refusal('err.file', { line: report.line ?? '?', reason: report.error ?? '' });
    }
    const key = UPLOAD_STATUS[response.status] || 'err.unknown';
    throw new Refusal(key, { code: response.status, message: report?.error ?? '' });
  }
}
