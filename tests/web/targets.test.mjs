// What a person waits for at 10 000 contacts, and what the page weighs. The
// figures are printed; the bounds are three times the page's targets (the
// first view within 1 s of login, search results within 150 ms of a key),
// so that a loaded machine does not fail them.
import assert from 'node:assert/strict';
import { readdirSync, statSync } from 'node:fs';
import { join } from 'node:path';
import { webSuite, makeContacts, shot, submitLogin, contactList } from './fixture.mjs';

const FIRST_VIEW_BOUND_MS = 3000;
const SEARCH_BOUND_MS = 450;
const PAGE_FILES_LIMIT = 200 * 1024;

const suite = webSuite(import.meta.filename, { setup: (servers) => servers.seed(makeContacts(10000)) });

function figure(what, ms) {
  console.log(`# figure: ${what}: ${Math.round(ms)} ms`);
}

/* Set up in every document of the page's context: window.__zebShown() gives
 * the names that the list "Contacts" shows once the search box is ready
 * (else null); window.__zebFirstView is the time (ms since the navigation)
 * of the first frame showing them, window.__zebLoginAt that of the click
 * on "Log in". */
function probe() {
  const label = (el) => el.getAttribute('aria-label') ??
    (el.getAttribute('aria-labelledby') ?? '').split(/\s+/).map((id) => document.getElementById(id)?.textContent ?? '').join(' ');
  window.__zebShown = () => {
    const list = [...document.querySelectorAll('ul, ol, [role="list"]')].find((el) => label(el).trim() === 'Contacts');
    const search = document.querySelector('input[type="search"]');
    if (!list || !search || search.disabled || search.offsetParent === null) return null;
    const names = [...list.querySelectorAll('li button')].map((b) => b.textContent.trim());
    return names.length ? names : null;
  };
  const check = () => {
    if (window.__zebShown()) window.__zebFirstView = performance.now();
    else requestAnimationFrame(check);
  };
  requestAnimationFrame(check);
  document.addEventListener('click', (e) => {
    if (e.target.closest?.('button')?.textContent.trim() === 'Log in') window.__zebLoginAt = performance.now();
  }, true);
}

suite.test('the page\'s files stay within 200 KiB', async () => {
  const size = (dir) => readdirSync(dir, { withFileTypes: true })
    .reduce((sum, e) => sum + (e.isDirectory() ? size(join(dir, e.name)) : statSync(join(dir, e.name)).size), 0);
  const total = size(process.env.ZEB_WWW);
  console.log(`# figure: page files: ${total} bytes (${(total / 1024).toFixed(1)} KiB)`);
  assert.ok(total <= PAGE_FILES_LIMIT, `${total} bytes`);
});

suite.test('10 000 contacts: the first view within 1 s of login', async (session) => {
  const page = await session.open({ init: probe });
  const answered = page.waitForResponse((r) => /"method":\s*"login"/.test(r.request().postData() ?? ''));
  await submitLogin(page, 'viewer');
  const loginTiming = (await answered).request().timing();
  await page.waitForFunction(() => window.__zebFirstView !== undefined, null, { timeout: 30000 });
  const shown = await page.evaluate(() => ({ at: performance.timeOrigin + window.__zebFirstView,
    fromClick: window.__zebFirstView - window.__zebLoginAt }));
  // The login's answer waits for the password's hash, which is slow on
  // purpose; the page's own work starts when it arrives.
  const login = shown.at - (loginTiming.startTime + loginTiming.responseEnd);
  figure('first view after the login\'s answer', login);
  figure('first view after the click on "Log in" (with the password\'s hash)', shown.fromClick);
  await shot(page, 'list');

  // The session is kept: a new navigation shows the list without a login.
  await page.reload();
  await page.waitForFunction(() => window.__zebFirstView !== undefined, null, { timeout: 30000 });
  const navigation = await page.evaluate(() => window.__zebFirstView);
  figure('first view from the navigation (logged in)', navigation);

  const phone = await session.open({ viewport: { width: 390, height: 844 } });
  await submitLogin(phone, 'viewer');
  await contactList(phone).getByRole('listitem').first().waitFor();
  await shot(phone, 'list-phone');
  const overflow = await phone.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  assert.ok(overflow <= 0, `the phone's page is ${overflow} px wider than its screen`);

  assert.ok(login <= FIRST_VIEW_BOUND_MS, `first view ${login} ms after the login`);
  assert.ok(navigation <= FIRST_VIEW_BOUND_MS, `first view ${navigation} ms after the navigation`);
});

suite.test('10 000 contacts: search results within 150 ms of a key press', async (session) => {
  const page = await session.openAs('viewer', { init: probe });
  const search = page.getByRole('searchbox', { name: 'Search' });
  await search.focus();
  // Each second key narrows what the first found, so that each key's
  // results differ from the ones shown before it. The first search after
  // the daemon started also builds the phonebook's word index: its figure
  // is told apart and not bound.
  const figures = [];
  for (const word of ['q', 'kl', 'we', 'xa', 'zo']) {
    await search.fill('');
    await page.waitForFunction(() => window.__zebShown()?.[0]?.startsWith('Albers'), null, { timeout: 10000 })
      .catch(async () => assert.fail(`before "${word}" the list shows ${(await page.evaluate(() => window.__zebShown()))?.slice(0, 3)}`));
    for (let i = 1; i <= word.length; i++) {
      await page.evaluate(() => {
        window.__zebKeyAt = undefined;
        document.addEventListener('keydown', () => (window.__zebKeyAt = performance.now()), { capture: true, once: true });
      });
      await search.press(word[i - 1]);
      const ms = await page.evaluate((prefix) => new Promise((done, fail) => {
        const check = () => {
          const names = window.__zebShown();
          if (names?.every((n) => n.toLowerCase().split(/[\s;@.]+/).some((w) => w.startsWith(prefix))))
            return done(performance.now() - window.__zebKeyAt);
          if (performance.now() - window.__zebKeyAt > 10000) return fail(new Error(`no results for ${prefix}`));
          requestAnimationFrame(check);
        };
        requestAnimationFrame(check);
      }), word.slice(0, i));
      figures.push([word.slice(0, i), ms]);
    }
  }
  const [[, cold], ...warm] = figures;
  figure('search, the first after the start (index built)', cold);
  const times = warm.map(([, ms]) => ms).sort((a, b) => a - b);
  console.log(`# figure: search results after a key: ${warm.map(([w, ms]) => `"${w}" ${Math.round(ms)}`).join(', ')} ms`);
  figure('search, median', times[Math.floor(times.length / 2)]);
  figure('search, slowest', times.at(-1));
  assert.ok(times.at(-1) <= SEARCH_BOUND_MS, `slowest search ${times.at(-1)} ms`);
});
