// The browser tests' servers and browser; CTest gives the paths
// (tests/web/CMakeLists.txt).
import { spawn, execFile } from 'node:child_process';
import { mkdtempSync, mkdirSync, copyFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test, before, after } from 'node:test';
import { chromium } from 'playwright-core';

const env = process.env;

export const USERS = {
  admin: { password: 'admin secret', roles: 'admin' },
  editor: { password: 'editor secret', roles: 'editor' },
  viewer: { password: 'viewer secret', roles: 'viewer' },
};

/* Under the sanitizers the daemons are slow: every wait is generous. */
const START_TIMEOUT_MS = 30000;

function need(name) {
  if (!env[name]) throw new Error(`${name} is not set: run the browser tests through ctest`);
  return env[name];
}

export const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

/* A child process whose output is kept (its last MiB) for the logs. */
class Child {
  constructor(name, argv) {
    this.name = name;
    this.log = '';
    this.proc = spawn(argv[0], argv.slice(1), { stdio: ['ignore', 'pipe', 'pipe'] });
    for (const out of [this.proc.stdout, this.proc.stderr])
      out.on('data', (chunk) => (this.log = (this.log + chunk.toString()).slice(-(1 << 20))));
    this.exited = new Promise((done) => this.proc.on('exit', done));
  }

  /* Resolves with the first match of `pattern` in the log. */
  async waitFor(pattern) {
    for (const deadline = Date.now() + START_TIMEOUT_MS; ; await sleep(20)) {
      const match = this.log.match(pattern);
      if (match) return match;
      if ((this.proc.exitCode ?? this.proc.signalCode) !== null || Date.now() > deadline) throw new Error(`${this.name} did not print ${pattern}:\n${this.log}`);
    }
  }

  async stop() {
    this.proc.kill('SIGTERM');
    const timer = setTimeout(() => this.proc.kill('SIGKILL'), 10000);
    await this.exited;
    clearTimeout(timer);
  }
}

function run(file, args, input) {
  return new Promise((done) => {
    const child = execFile(file, args, { maxBuffer: 64 << 20 }, (error, stdout, stderr) =>
      done({ status: error ? (error.code ?? 1) : 0, stdout, stderr }));
    child.stdin.on('error', () => {}); // a program may end before it reads
    child.stdin.end(input ?? '');
  });
}

/* zebd serving the phonebook and zeb-httpd with the USERS, in a temporary directory. */
export class Servers {
  static async start() {
    const dir = mkdtempSync(join(tmpdir(), 'zeb-web-'));
    const servers = Object.assign(new Servers(), { dir, socket: join(dir, 'zeb.sock'), users: join(dir, 'httpd-users'), children: [] });
    const sysroot = join(servers.dir, 'sysroot');
    for (const sub of ['cfg/system', 'var/lib/phonebook', 'etc/config', 'usr/lib/phonebook'])
      mkdirSync(join(sysroot, sub), { recursive: true });
    copyFileSync(need('ZEB_CCC'), join(sysroot, 'usr/lib/phonebook/CCC.dat'));
    await servers.spawn('zebd', [need('ZEBD'), '-s', servers.socket, '--sysroot', sysroot, need('ZEB_DEFINITION')])
      .waitFor(/zebd: serving/);
    for (const [user, { password, roles }] of Object.entries(USERS)) {
      const r = await run(need('ZEB_HTTPD'), ['--users', servers.users, 'passwd', user, '--roles', roles], `${password}\n`);
      if (r.status !== 0) throw new Error(`zeb-httpd passwd ${user}: ${r.stderr}`);
    }
    servers.baseURL = await servers.startHttpd();
    return servers;
  }

  spawn(name, argv) {
    const child = new Child(name, argv);
    this.children.push(child);
    return child;
  }

  /* Another zeb-httpd on the same bus and users; answers its base URL. */
  async startHttpd({ sessionIdle } = {}) {
    const argv = [need('ZEB_HTTPD'), '--listen', '127.0.0.1:0', '--socket', this.socket,
      '--users', this.users, '--roles', need('ZEB_ROLES'), '--docroot', need('ZEB_WWW')];
    if (sessionIdle) argv.push('--session-idle', String(sessionIdle));
    return (await this.spawn('zeb-httpd', argv).waitFor(/zeb-httpd: serving (http:\/\/127\.0\.0\.1:\d+\/)/))[1];
  }

  /* zeb-cli on this bus: {status, stdout, stderr}. */
  zebCli(...args) {
    return run(need('ZEB_CLI'), ['-s', this.socket, '-t', '30', ...args]);
  }

  /* The retval of a function of Phonebook called with zeb-cli. */
  async call(fn, args = {}) {
    const words = Object.entries(args).map(([k, v]) => `${k}=${typeof v === 'string' ? v : JSON.stringify(v)}`);
    const r = await this.zebCli('call', 'Phonebook', fn, ...words);
    if (r.status !== 0) throw new Error(`zeb-cli call Phonebook ${fn}: ${r.stderr}`);
    return JSON.parse(r.stdout).retval;
  }

  /* Adds `contacts` with zeb-cli, 250 a call, raising MaxNumberOfEntries
   * first when they would not fit. */
  async seed(contacts) {
    if (contacts.length + (await this.call('getNumberOfContacts')) > (await this.call('getMaxNumberOfContacts'))) {
      const r = await this.zebCli('set', 'Phonebook', `MaxNumberOfEntries=${contacts.length + 1000}`);
      if (r.status !== 0) throw new Error(`raising MaxNumberOfEntries: ${r.stderr}`);
    }
    for (let i = 0; i < contacts.length; i += 250)
      if ((await this.call('addContacts', { contacts: contacts.slice(i, i + 250) })) !== true) throw new Error(`seeding contacts ${i}..`);
  }

  async stop() {
    await Promise.all(this.children.map((child) => child.stop()));
    rmSync(this.dir, { recursive: true, force: true });
  }
}

/* `count` contacts with distinct names spread over the alphabet, a mobile and an e-mail each. */
export function makeContacts(count) {
  const given = 'Anna Bernd Clara David Emil Frieda Georg Hanna Ida Jonas Karl Lena Marta Nils Olga Paul Quirin Rosa Sven Tilda Uwe Vera Walter Xenia Yusuf Zoe'.split(' ');
  const family = 'Albers Brandt Conrad Dietz Ebert Fuchs Graf Hahn Imhof Jansen Kluge Lorenz Mertens Nagel Otte Pohl Quandt Roth Seidel Thiel Ullrich Vogt Wendt Xander Yilmaz Zeller'.split(' ');
  return Array.from({ length: count }, (_, i) => {
    const g = given[i % given.length];
    const f = family[Math.floor(i / given.length) % family.length];
    const n = Math.floor(i / (given.length * family.length));
    return { uniqueID: `c${i}`, formattedName: `${f} ${g}${n ? ` ${n}` : ''}`, name: `${f};${g}`,
      telephoneNumbers: [{ name: `0171${String(5000000 + i)}`, type: 'cell', preferred: true }],
      emails: [{ name: `${g}.${f}${n || ''}@example.org`.toLowerCase(), type: 'home' }] };
  });
}

const LOOPBACK = new Set(['127.0.0.1', 'localhost', '[::1]']);

/* One test's pages, with what each logged, raised and asked for. */
export class Session {
  constructor(browser, servers) {
    Object.assign(this, { browser, servers, pages: [], log: [], pageErrors: [], dialogs: [], foreignRequests: [] });
  }

  /* A new context (its own cookies) and page in English at `baseURL`. */
  async open({ viewport = { width: 1280, height: 800 }, baseURL } = {}) {
    const context = await this.browser.newContext({ locale: 'en-US', viewport, acceptDownloads: true });
    context.setDefaultTimeout(15000);
    const page = await context.newPage();
    const n = this.pages.length + 1;
    page.on('console', (m) => this.log.push(`[page ${n}] ${m.type()}: ${m.text()}`));
    page.on('pageerror', (e) => { this.pageErrors.push(e); this.log.push(`[page ${n}] uncaught: ${e.stack ?? e}`); });
    page.on('dialog', (d) => { this.dialogs.push(`${d.type()}: ${d.message()}`); d.dismiss().catch(() => {}); });
    page.on('request', (r) => {
      const url = new URL(r.url());
      if (['http:', 'https:', 'ws:', 'wss:'].includes(url.protocol) && !LOOPBACK.has(url.hostname)) this.foreignRequests.push(r.url());
    });
    this.pages.push(page);
    await page.goto(baseURL ?? this.servers.baseURL);
    return page;
  }

  /* A page logged in as `user`, its list shown. */
  async openAs(user, options = {}) {
    const page = await this.open(options);
    return login(page, user).then(() => page);
  }
}

/* `suite.test(title, fn)` runs fn(session, servers) with the file's servers and
 * browser; it also fails when a page raised an error or asked any host but loopback. */
export function webSuite({ setup } = {}) {
  const suite = {};
  before(async () => {
    suite.servers = await Servers.start();
    suite.browser = await chromium.launch({
      executablePath: env.CHROMIUM || '/usr/bin/chromium',
      timeout: START_TIMEOUT_MS,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    if (setup) await setup(suite.servers);
  });
  after(async () => { await suite.browser?.close(); await suite.servers?.stop(); });
  suite.test = (title, fn) =>
    test(title, { timeout: 240000 }, async () => {
      const session = new Session(suite.browser, suite.servers);
      try {
        await fn(session, suite.servers);
        if (session.pageErrors.length) throw new Error(`the page raised: ${session.pageErrors.join('; ')}`);
        if (session.foreignRequests.length) throw new Error(`requests left loopback: ${session.foreignRequests.join(' ')}`);
      } catch (e) {
        process.stdout.write(`# ${title}: failed; the pages logged:\n${session.log.join('\n')}\n`);
        throw e;
      } finally {
        await Promise.all(session.pages.map((page) => page.context().close().catch(() => {})));
      }
    });
  return suite;
}

/* Fills the login view and clicks "Log in". */
export async function submitLogin(page, user, password = USERS[user].password) {
  await page.getByRole('textbox', { name: 'User name' }).fill(user);
  await page.getByLabel('Password', { exact: true }).fill(password);
  await page.getByRole('button', { name: 'Log in' }).click();
}

/* Logs `user` in and waits for the list. */
export async function login(page, user) {
  await submitLogin(page, user);
  await page.getByRole('searchbox', { name: 'Search' }).waitFor();
}

export const contactList = (page) => page.getByRole('list', { name: 'Contacts' });

/* Opens the contact `name` of the list; answers its card. */
export async function openContact(page, name) {
  await contactList(page).getByRole('button', { name, exact: true }).click();
  const card = page.getByRole('region', { name, exact: true });
  await card.waitFor();
  return card;
}

/* The formatted names the list shows, in order. */
export const listedNames = (page) => contactList(page).getByRole('listitem').getByRole('button').allInnerTexts();

/* Polls `condition` on the list's names until it holds. */
export async function until(page, condition, timeout = 10000) {
  for (const deadline = Date.now() + timeout; Date.now() < deadline; await page.waitForTimeout(10))
    if (condition(await listedNames(page))) return;
  throw new Error(`the list never became as expected: ${(await listedNames(page)).slice(0, 5)}`);
}
