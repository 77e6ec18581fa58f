// What the page weighs, and the list on a phone's screen and after a
// reload. The page's speed is measured by hand (docs/web.md), not here.
import assert from 'node:assert/strict';
import { readdirSync, statSync } from 'node:fs';
import { join } from 'node:path';
import { webSuite, makeContacts, until } from './fixture.mjs';

const suite = webSuite({ setup: (servers) => servers.seed(makeContacts(200)) });

suite.test('the page\'s files stay within 200 KiB, and the list fits a phone and outlives a reload', async (session) => {
  const size = (dir) => readdirSync(dir, { withFileTypes: true })
    .reduce((sum, e) => sum + (e.isDirectory() ? size(join(dir, e.name)) : statSync(join(dir, e.name)).size), 0);
  assert.ok(size(process.env.ZEB_WWW) <= 200 * 1024, `${size(process.env.ZEB_WWW)} bytes`);

  const page = await session.openAs('viewer');
  await page.reload();
  await until(page, (shown) => shown[0] === 'Albers Anna'); // no login after the reload

  const phone = await session.openAs('viewer', { viewport: { width: 390, height: 844 } });
  const overflow = await phone.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  assert.ok(overflow <= 0, `the phone's page is ${overflow} px wider than its screen`);
});
